#include "tasks/FrontEnd.h"

namespace {
IFrontEndHooks g_defaultHooks;
IFrontEndHooks* g_pHooks = nullptr;
}  // namespace

void IFrontEndHooks::RunDeepScan(CDirectory*) {}
void IFrontEndHooks::ResultsFolderGrew(CDirectory*) {}
void IFrontEndHooks::ChangeResults(CDirectory*, const std::function<void()>& change) { change(); }
bool IFrontEndHooks::ReadMft(CNTFSDriver*) { return false; }

void SetFrontEndHooks(IFrontEndHooks* hooks) { g_pHooks = hooks; }
IFrontEndHooks& FrontEndHooks() { return g_pHooks ? *g_pHooks : g_defaultHooks; }
