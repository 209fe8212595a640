#include "STC.h"

#include "Main.h"

TSTCFrm::TSTCFrm(TMainForm *mainForm) : QObject(mainForm), MainForm(mainForm) { FormCreate(); }

TSTCFrm::~TSTCFrm() = default;

void TSTCFrm::FormCreate() {}

void TSTCFrm::FormClose() {}

void TSTCFrm::BitBtn1Click() {}
