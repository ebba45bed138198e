// The directory login name (portable): the call sequence over the client
// libraries' functions.
//
// 1. Find a connection: the primary connection first; when its reference
//    opens but its information cannot be read, scan all references until one
//    answers. The answer DX_ERR_NO_MORE_CONNECTIONS, or any other failing
//    call, ends the scan; other answers of the information call move on.
// 2. With a connection: an authenticated connection whose object name has no
//    "." gets the directory's name context appended ("OBJECT.CONTEXT"); that
//    needs the locale tables and a directory context, and every step must
//    succeed, else the account name stays. Any other connection gives its
//    object name as it is.
//
// Every text a library fills is cut at the end of its buffer, so a library
// that leaves out the terminator cannot make us read beyond it. A scan that
// never ends (a library that keeps handing out references) is cut off.
#include "scanner/netid/dirlogin.h"

#include <cstring>

namespace qv::scanner {
namespace {

// More connection references than any client keeps.
constexpr int kMaxScannedReferences = 1024;

std::string BufferText(const char* buffer, std::size_t size) {
    return std::string(buffer, strnlen(buffer, size));
}

// What reading one connection reference gave.
struct Probe {
    int32_t step_failed = 0;  // non-zero: opening or reading the reference failed
    int32_t answer = 0;       // DxGetConnectionInformation's answer
};

// Opens the connection behind `reference` and reads its login object name
// into `name` (DX_OBJECT_NAME_SIZE bytes). The primary connection's
// information is read before it is opened, a scanned one's after.
Probe ReadConnection(const DxConnectionFns& fn, uint32_t reference, bool info_first, uint32_t& connection,
                     char* name) {
    Probe p;
    DxConnRefInfo info;
    std::memset(&info, 0, sizeof info);
    if (info_first) {
        p.step_failed = fn.get_all_conn_ref_info(reference, DX_CONN_INFO_ALL, &info);
        if (p.step_failed) return p;
        p.step_failed = fn.open_conn_by_ref(reference, DX_OPEN_STATE_EXISTING, 0, &connection);
        if (p.step_failed) return p;
    } else {
        p.step_failed = fn.open_conn_by_ref(reference, DX_OPEN_STATE_EXISTING, 0, &connection);
        if (p.step_failed) return p;
        p.step_failed = fn.get_all_conn_ref_info(reference, DX_CONN_INFO_ALL, &info);
        if (p.step_failed) return p;
    }
    uint16_t object_type = 0;
    uint32_t object_id = 0, login_time = 0;
    std::memset(name, 0, DX_OBJECT_NAME_SIZE);
    p.answer = fn.get_connection_information(connection, info.connection_number, name, &object_type, &object_id,
                                             &login_time);
    name[DX_OBJECT_NAME_SIZE - 1] = '\0';
    return p;
}

// Finds a connection; true with its handle and login object name.
bool FindConnection(const DxConnectionFns& fn, uint32_t& connection, std::string& object_name) {
    char name[DX_OBJECT_NAME_SIZE];
    uint32_t reference = 0;
    if (fn.get_prim_conn_ref(&reference) != 0) return false;
    Probe p = ReadConnection(fn, reference, true, connection, name);
    if (p.step_failed) return false;
    if (p.answer == 0) {
        object_name = BufferText(name, sizeof name);
        return true;
    }
    uint32_t iterator = 0;
    for (int n = 0; n < kMaxScannedReferences; ++n) {
        if (fn.scan_conn_refs(&iterator, &reference) != 0) return false;
        p = ReadConnection(fn, reference, false, connection, name);
        if (p.step_failed || p.answer == DX_ERR_NO_MORE_CONNECTIONS) return false;
        if (p.answer == 0) {
            object_name = BufferText(name, sizeof name);
            return true;
        }
    }
    return false;
}

bool Authenticated(const DxConnectionFns& fn, uint32_t connection) {
    uint8_t status[DX_STATUS_SIZE];
    std::memset(status, 0, sizeof status);
    if (fn.get_connection_status(connection, status, DX_STATUS_SIZE) != 0) return false;
    return (status[DX_STATUS_AUTH_BYTE] & DX_STATUS_AUTH_BIT) != 0;
}

// The name context of the directory; false when any step fails.
bool ReadNameContext(DirServices& ds, const DxConnectionFns& fn, std::string& context_name) {
    fn.calls_init(nullptr, nullptr);
    bool tables = false;
    bool ok = false;
    const DxLocaleFns* loc = ds.Locale();
    if (loc && loc->complete()) {
        DxLocaleRecord record;
        std::memset(&record, 0, sizeof record);
        loc->llocaleconv(&record);
        tables = loc->init_unicode_tables(record.country_id, record.code_page) == 0;
    }
    const DxNetFns* net = tables ? ds.Net() : nullptr;
    if (net && net->complete()) {
        int32_t context = net->create_context();
        if (context != DX_ERR_CONTEXT_CREATION) {
            char buffer[DX_NAME_CONTEXT_SIZE];
            std::memset(buffer, 0, sizeof buffer);
            ok = net->get_context(context, DX_CONTEXT_NAME, buffer) == 0;
            buffer[sizeof buffer - 1] = '\0';
            net->free_context(context);
            if (ok) context_name = BufferText(buffer, sizeof buffer);
        }
    }
    if (tables) loc->free_unicode_tables();
    ds.ReleaseNameLibraries();
    return ok;
}

}  // namespace

bool DxConnectionFns::complete() const {
    return get_prim_conn_ref && get_all_conn_ref_info && open_conn_by_ref && scan_conn_refs &&
           get_connection_information && calls_init && get_connection_status;
}
bool DxLocaleFns::complete() const { return llocaleconv && init_unicode_tables && free_unicode_tables; }
bool DxNetFns::complete() const { return create_context && get_context && free_context; }

std::string DirectoryLoginName(DirServices& ds, const std::string& account_name) {
    const DxConnectionFns* fn = ds.Connection();
    if (!fn || !fn->complete()) return account_name;
    uint32_t connection = 0;
    std::string object_name;
    if (!FindConnection(*fn, connection, object_name)) return account_name;
    if (Authenticated(*fn, connection) && object_name.find('.') == std::string::npos) {
        std::string context;
        if (!ReadNameContext(ds, *fn, context)) return account_name;
        return object_name + "." + context;
    }
    return object_name;
}

}  // namespace qv::scanner
