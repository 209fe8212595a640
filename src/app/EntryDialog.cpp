#include "app/EntryDialog.h"

#include "app/Main.h"
#include "logic/Devices.h"
#include "platform/Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolTip>
#include <QVBoxLayout>

namespace {

QByteArray key(const char *name, int device)
{
    return QByteArray(name) + QByteArray::number(device);
}

} // namespace

QString EntrySettings::defaultEntry(int device, const QString &resetMs)
{
    switch (devices::familyAt(device).value_or(devices::Family::Stm32)) {
    case devices::Family::Stm32: return resetseq::format(resetseq::stm32Entry());
    case devices::Family::Lpc: return resetseq::format(resetseq::lpcEntry());
    default: break;
    }
    bool ok = false;
    const int ms = resetMs.toInt(&ok);
    return resetseq::format(resetseq::stcEntry(ok ? ms : 680));
}

QString EntrySettings::defaultExit(int device)
{
    return devices::familyAt(device) == devices::Family::Stm32
               ? resetseq::format(resetseq::stm32Exit())
               : QString();
}

void EntrySettings::read(const platform::SettingsStore &s)
{
    entry.clear();
    exit.clear();
    for (int d = 0; d < int(devices::deviceList().size()); ++d) {
        if (s.contains(key("EntrySeq", d))) entry[d] = s.readString(key("EntrySeq", d));
        if (s.contains(key("ExitSeq", d))) exit[d] = s.readString(key("ExitSeq", d));
    }
    wiring.swapRtsDtr = s.readInt("SwapRtsDtr").value_or(0) != 0;
    wiring.invertRts = s.readInt("InvertRts").value_or(0) != 0;
    wiring.invertDtr = s.readInt("InvertDtr").value_or(0) != 0;
    powerCycle = s.readString("PowerCycle");
}

void EntrySettings::write(platform::SettingsStore &s) const
{
    for (auto it = entry.cbegin(); it != entry.cend(); ++it)
        s.writeString(key("EntrySeq", it.key()), it.value());
    for (auto it = exit.cbegin(); it != exit.cend(); ++it)
        s.writeString(key("ExitSeq", it.key()), it.value());
    s.writeInt("SwapRtsDtr", wiring.swapRtsDtr);
    s.writeInt("InvertRts", wiring.invertRts);
    s.writeInt("InvertDtr", wiring.invertDtr);
    s.writeString("PowerCycle", powerCycle);
}

void EntrySettings::applyTo(DownloadChoices &c) const
{
    const auto sequence = [](const QMap<int, QString> &m, int d) -> std::optional<resetseq::Sequence> {
        if (!m.contains(d)) return std::nullopt;
        const resetseq::Parsed p = resetseq::parse(m.value(d));
        if (!p.ok()) return std::nullopt;
        return p.steps;
    };
    c.entrySequence = sequence(entry, c.device);
    c.exitSequence = sequence(exit, c.device);
    c.wiring = wiring;
    c.powerCycle = powerCycle.trimmed();
}

EntryDialog::EntryDialog(const EntrySettings &settings, int device, const QString &resetMs,
                         QWidget *parent)
    : QDialog(parent), settings_(settings), device_(device),
      defaultEntry_(EntrySettings::defaultEntry(device, resetMs)),
      defaultExit_(EntrySettings::defaultExit(device))
{
    setObjectName(QStringLiteral("EntryDialog"));
    const auto devicesList = devices::deviceList();
    const QString name = device >= 0 && device < int(devicesList.size())
                             ? devicesList[size_t(device)].name.toString()
                             : QString();
    setWindowTitle(tr("复位序列: %1").arg(name));
    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    entry_ = new QLineEdit(settings.entry.value(device, defaultEntry_), this);
    entry_->setObjectName(QStringLiteral("EntrySequence"));
    exit_ = new QLineEdit(settings.exit.value(device, defaultExit_), this);
    exit_->setObjectName(QStringLiteral("ExitSequence"));
    form->addRow(tr("进入序列 (下载前)"), entry_);
    form->addRow(tr("退出序列 (写入后)"), exit_);
    layout->addLayout(form);
    explained_ = new QLabel(this);
    explained_->setObjectName(QStringLiteral("StepsExplained"));
    explained_->setWordWrap(true);
    layout->addWidget(explained_);
    auto *help = new QLabel(tr("步骤用逗号分开: rts/-rts、dtr/-dtr (有效/无效)，brk/-brk (开始/结束 "
                               "break)，NNms (等待 0-10000 ms)。空白: 不用序列。"),
                            this);
    help->setWordWrap(true);
    layout->addWidget(help);
    swap_ = new QCheckBox(tr("交换 RTS 和 DTR"), this);
    swap_->setObjectName(QStringLiteral("SwapRtsDtr"));
    swap_->setChecked(settings.wiring.swapRtsDtr);
    invertRts_ = new QCheckBox(tr("RTS 反相"), this);
    invertRts_->setObjectName(QStringLiteral("InvertRts"));
    invertRts_->setChecked(settings.wiring.invertRts);
    invertDtr_ = new QCheckBox(tr("DTR 反相"), this);
    invertDtr_->setObjectName(QStringLiteral("InvertDtr"));
    invertDtr_->setChecked(settings.wiring.invertDtr);
    layout->addWidget(swap_);
    layout->addWidget(invertRts_);
    layout->addWidget(invertDtr_);
    auto *powerForm = new QFormLayout;
    power_ = new QLineEdit(settings.powerCycle, this);
    power_->setObjectName(QStringLiteral("PowerCycle"));
    power_->setToolTip(tr("复位时用 /bin/sh -c 运行的命令 (例如 uhubctl、gpioset)，最多 30 秒"));
    powerForm->addRow(tr("电源命令"), power_);
    layout->addLayout(powerForm);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    for (QLineEdit *e : {entry_, exit_})
        connect(e, &QLineEdit::textChanged, this, &EntryDialog::explain);
    for (QCheckBox *b : {swap_, invertRts_, invertDtr_})
        connect(b, &QCheckBox::toggled, this, &EntryDialog::explain);
    explain();
}

void EntryDialog::explain()
{
    const resetseq::Wiring wiring{swap_->isChecked(), invertRts_->isChecked(),
                                  invertDtr_->isChecked()};
    QStringList lines;
    bool allGood = true;
    const auto show = [&](const QString &caption, const QString &text) {
        const resetseq::Parsed p = resetseq::parse(text);
        if (!p.ok()) {
            allGood = false;
            lines << caption + QStringLiteral(": ") + resetseq::refusalText(p);
            return;
        }
        if (p.steps.isEmpty()) {
            lines << caption + QStringLiteral(": ") + tr("无");
            return;
        }
        QStringList said;
        for (const resetseq::Step &s : resetseq::applyWiring(p.steps, wiring))
            said << resetseq::describe(s);
        lines << caption + QStringLiteral(": ") + said.join(QStringLiteral(" → "));
    };
    show(tr("进入"), entry_->text());
    show(tr("退出"), exit_->text());
    explained_->setText(lines.join(u'\n'));
    if (ok_) ok_->setEnabled(allGood);
}

EntrySettings EntryDialog::result() const
{
    EntrySettings s = settings_;
    const QString entry = resetseq::format(resetseq::parse(entry_->text()).steps);
    const QString exit = resetseq::format(resetseq::parse(exit_->text()).steps);
    // The default is not stored: it follows the reset time field and later versions.
    if (entry == defaultEntry_) s.entry.remove(device_);
    else s.entry[device_] = entry;
    if (exit == defaultExit_) s.exit.remove(device_);
    else s.exit[device_] = exit;
    s.wiring = {swap_->isChecked(), invertRts_->isChecked(), invertDtr_->isChecked()};
    s.powerCycle = power_->text().trimmed();
    return s;
}

// ---- the window's side ------------------------------------------------------------------

void TMainForm::EntryButtonClick()
{
    EntryDialog dialog(EntrySetup, MCUType->currentIndex(), Edit4->text(), this);
    if (dialog.exec() == QDialog::Accepted) EntrySetup = dialog.result();
}

void TMainForm::ShowHint(const QString &text)
{
    LastHint = text;
    if (isVisible())
        QToolTip::showText(CheckBox2->mapToGlobal(QPoint(0, CheckBox2->height())), text, CheckBox2,
                           {}, 10000);
}
