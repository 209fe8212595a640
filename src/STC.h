// TSTCFrm: the hidden controller of the STC 8051 programmer.
#pragma once

#include <QObject>

class TMainForm;

class TSTCFrm : public QObject
{
public:
    explicit TSTCFrm(TMainForm *mainForm);
    ~TSTCFrm() override;

    void FormCreate();
    void FormClose();
    // Runs one whole download; returns when it has ended.
    void BitBtn1Click();

private:
    TMainForm *MainForm;
};
