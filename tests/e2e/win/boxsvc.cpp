// boxsvc: a tiny Windows service for the end-to-end test of boxpress. Each
// start shows a Yes/No box captioned "Box Service" on the services' desktop
// and writes the answer ("yes", "no" or "other N") to C:\boxsvc.txt, then
// the service stops.
#include <windows.h>

#include <cstdio>

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS s{};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    ::SetServiceStatus(g_status, &s);
}

DWORD WINAPI Handler(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }

void WINAPI ServiceMain(DWORD, LPSTR*) {
    g_status = ::RegisterServiceCtrlHandlerExA("QvBoxSvc", Handler, nullptr);
    if (!g_status) return;
    Report(SERVICE_RUNNING);
    const int answer = ::MessageBoxA(nullptr, "Press a button", "Box Service", MB_YESNO | MB_ICONQUESTION);
    if (FILE* f = std::fopen("C:\\boxsvc.txt", "w")) {
        if (answer == IDYES) std::fputs("yes", f);
        else if (answer == IDNO) std::fputs("no", f);
        else std::fprintf(f, "other %d", answer);
        std::fclose(f);
    }
    Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>("QvBoxSvc"), ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
