// The directory login name: which directory object the user is logged in as.
//
// A machine with the directory-services client has connections to directory
// servers; the login object name of one of them, completed with the name
// context of the directory ("USER.ORG"), is a better login name than the NT
// account name. Finding it takes a fixed sequence of calls into the four
// client libraries (contracts/dirservices.h). This file holds that sequence;
// where the libraries come from is the caller's business: the program loads
// them by name at run time (netid_win.cpp), the tests hand in fakes.
//
// The connection functions (DXCONN32 and DXCALL32) are given up front, all
// seven or none. The locale and directory-name functions are asked for only
// when a name has to be completed, so their libraries are loaded only then,
// and are released again (ReleaseNameLibraries) as soon as the name is
// complete. A library that is missing or lacks a function is never called.
#pragma once

#include <string>

#include "contracts/dirservices.h"

namespace qv::scanner {

struct DxConnectionFns {
    DxCCGetPrimConnRefFn get_prim_conn_ref = nullptr;
    DxCCGetAllConnRefInfoFn get_all_conn_ref_info = nullptr;
    DxCCOpenConnByRefFn open_conn_by_ref = nullptr;
    DxCCScanConnRefsFn scan_conn_refs = nullptr;
    DxGetConnectionInformationFn get_connection_information = nullptr;
    DxCallsInitFn calls_init = nullptr;
    DxGetConnectionStatusFn get_connection_status = nullptr;
    bool complete() const;
};
struct DxLocaleFns {
    DxLlocaleconvFn llocaleconv = nullptr;
    DxInitUnicodeTablesFn init_unicode_tables = nullptr;
    DxFreeUnicodeTablesFn free_unicode_tables = nullptr;
    bool complete() const;
};
struct DxNetFns {
    DxDSCreateContextFn create_context = nullptr;
    DxDSGetContextFn get_context = nullptr;
    DxDSFreeContextFn free_context = nullptr;
    bool complete() const;
};

class DirServices {
public:
    virtual ~DirServices() = default;
    // The seven connection functions, or nullptr when a library or one of
    // them is missing.
    virtual const DxConnectionFns* Connection() = 0;
    // Loads the locale and directory libraries; nullptr when missing or
    // incomplete.
    virtual const DxLocaleFns* Locale() = 0;
    virtual const DxNetFns* Net() = 0;
    // Releases what Locale() and Net() loaded.
    virtual void ReleaseNameLibraries() = 0;
};

// The login name: the connection's login object, completed with the name
// context when the connection is authenticated and the object name holds no
// "."; the account name when no connection is found or the completion fails.
std::string DirectoryLoginName(DirServices& ds, const std::string& account_name);

}  // namespace qv::scanner
