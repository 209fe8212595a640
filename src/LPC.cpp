#include "LPC.h"

#include "Main.h"

TLPCFrm::TLPCFrm(TMainForm *mainForm) : QObject(mainForm), MainForm(mainForm) { FormCreate(); }

TLPCFrm::~TLPCFrm() = default;

void TLPCFrm::FormCreate() { MainForm->NewLine = QByteArrayLiteral("\r\n"); }

void TLPCFrm::BitBtn1Click() {}
