// TLPCFrm: the hidden controller of the NXP LPC2000 programmer.
#pragma once

#include <QObject>

class TMainForm;

class TLPCFrm : public QObject
{
public:
    explicit TLPCFrm(TMainForm *mainForm);
    ~TLPCFrm() override;

    void FormCreate();
    // Starts a download; called by the main window's download button.
    void BitBtn1Click();

private:
    TMainForm *MainForm;
};
