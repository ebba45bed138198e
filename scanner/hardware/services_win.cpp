// Drivers and services scan.
//
// The service control manager enumerates every driver and Win32 service
// into a small buffer; the resume handle carries the enumeration on from
// call to call, so the items come in the manager's order. The label
// template comes from our own string table through the localization
// library's formatter, which fills numbers only: the display name goes into
// its "%s" here.
//
// Two answers would make that loop run forever: a record whose names do
// not fit the small buffer on its own (the manager answers "more data" and
// returns nothing), and a manager that does not move the resume handle on
// (Wine's returns the first records again on every call). In both cases
// the same call is made again with a buffer enlarged by the bytes the
// manager asked for, before anything of the answer is written; an answer
// that still does not move on ends the scan.
#include "scanner/hardware/sysres_win.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "common/win/handles.h"
#include "contracts/localization.h"

namespace qv::scanner {
namespace {

constexpr DWORD kServiceTypes = 0x3B;  // all drivers and Win32 services
// Largest buffer the scan enlarges to (see below).
constexpr DWORD kServiceBufferMax = 1024 * 1024;
// Enumeration calls at most; each must move the resume handle on.
constexpr unsigned kServiceRoundsMax = 100000;

// A name pointer of a returned record, checked to lie inside the buffer.
std::string_view BufferText(const char* text, const std::vector<BYTE>& buffer) {
    const char* begin = reinterpret_cast<const char*>(buffer.data());
    const char* end = begin + buffer.size();
    if (!text || text < begin || text >= end) return {};
    return std::string_view(text, strnlen(text, static_cast<std::size_t>(end - text)));
}

}  // namespace

void ScanDriversAndServices(HardwareSink& sink) {
    char status_template[kQvFormattedStringMax] = {};
    // Our own table, so the keys are the same in every language; the
    // template has no number, so the formatter is given a single 0.
    QVGETFORMATTEDSTRING(::GetModuleHandleA(nullptr), status_template, kStrServiceStatus, 0);

    // A manager that cannot be opened makes the first enumeration fail.
    qv::win::ServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, GENERIC_READ));
    DWORD resume = 0;
    std::vector<BYTE> buffer;
    auto enumerate = [&](DWORD& needed, DWORD& count, DWORD& error) {
        needed = count = 0;
        BOOL ok = ::EnumServicesStatusA(manager.get(), kServiceTypes, SERVICE_STATE_ALL,
                                        reinterpret_cast<ENUM_SERVICE_STATUSA*>(buffer.data()),
                                        static_cast<DWORD>(buffer.size()), &needed, &count, &resume);
        error = ok ? ERROR_SUCCESS : ::GetLastError();
        return ok != FALSE;
    };
    for (unsigned round = 0; round < kServiceRoundsMax; ++round) {
        buffer.assign(kServiceBufferSize, 0);
        const DWORD before = resume;
        DWORD needed = 0, count = 0, error = 0;
        bool ok = enumerate(needed, count, error);
        if (!ok && error == ERROR_MORE_DATA && (count == 0 || resume == before) && needed <= kServiceBufferMax) {
            // Nothing fitted, or the manager did not move the resume handle on:
            // ask again from the same place with room for all it asked for.
            buffer.assign(buffer.size() + needed, 0);
            resume = before;
            ok = enumerate(needed, count, error);
        }
        if (!ok && error != ERROR_MORE_DATA) return;
        const std::size_t room = buffer.size() / sizeof(ENUM_SERVICE_STATUSA);
        if (count > room) count = static_cast<DWORD>(room);
        const auto* records = reinterpret_cast<const ENUM_SERVICE_STATUSA*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
            WriteServiceItem(sink, status_template, BufferText(records[i].lpDisplayName, buffer),
                             records[i].ServiceStatus.dwCurrentState);
        if (ok) return;
        // More data: go on where the manager left off, as long as it moves on.
        if (needed == 0 || count == 0 || resume == before) return;
    }
}

}  // namespace qv::scanner
