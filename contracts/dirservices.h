// The directory-services client libraries: what the inventory scanner calls.
//
// Four outside libraries of a network directory client, DXCONN32.DLL,
// DXCALL32.DLL, DXLOC32.DLL and DXNET32.DLL. The scanner never links against
// them: it loads them by name at run time, finds every function below with
// GetProcAddress (undecorated names), and uses a library only when all of its
// functions are there. A missing library only means that no directory login
// name is found.
//
// Every function answers 0 for success unless said otherwise. References,
// connection handles and contexts are opaque 32-bit numbers. The scanner
// relies only on the fields named here; the records carry room for more.
#pragma once

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define DXAPI __stdcall
#else
#define DXAPI
#endif

#if defined(_WIN32) && defined(DX_DLL_BUILD)
#define DX_EXPORT extern "C" __declspec(dllexport)
#else
#define DX_EXPORT extern "C"
#endif

// DxGetConnectionInformation's answer when the connection list has ended:
// a scan of the connection references stops there.
enum : int32_t { DX_ERR_NO_MORE_CONNECTIONS = 0x8866 };
// DxDSCreateContext's answer when no context can be made.
enum : int32_t { DX_ERR_CONTEXT_CREATION = -328 };

// DxCCGetAllConnRefInfo's information type: the whole information record.
enum : uint32_t { DX_CONN_INFO_ALL = 1 };
// DxCCOpenConnByRef's open state: open an existing connection.
enum : uint32_t { DX_OPEN_STATE_EXISTING = 2 };
// DxDSGetContext's key: the context's name context (a distinguished name).
enum : uint32_t { DX_CONTEXT_NAME = 3 };

// Sizes of the buffers the scanner hands over; a library writes at most this
// many bytes, terminator included.
enum : uint32_t {
    DX_OBJECT_NAME_SIZE = 48,     // login object name of a connection
    DX_STATUS_SIZE = 124,         // connection status record
    DX_NAME_CONTEXT_SIZE = 257,   // name context of a directory context
};

// Connection information record (DxCCGetAllConnRefInfo, type 1).
struct DxConnRefInfo {
    uint32_t connection_number;   // passed on to DxGetConnectionInformation
    uint32_t reserved[15];
};

// Connection status record (DxGetConnectionStatus, DX_STATUS_SIZE bytes):
// bit 0 of byte 1 is set when the connection is authenticated to the
// directory.
enum : uint32_t { DX_STATUS_AUTH_BYTE = 1, DX_STATUS_AUTH_BIT = 0x01 };

// Locale record (DxLlocaleconv); the two numbers go to DxInitUnicodeTables.
struct DxLocaleRecord {
    int32_t country_id;
    int32_t code_page;
    char reserved[56];
};

// DXCONN32.DLL
typedef int32_t(DXAPI* DxCCGetPrimConnRefFn)(uint32_t* reference);
typedef int32_t(DXAPI* DxCCGetAllConnRefInfoFn)(uint32_t reference, uint32_t info_type, DxConnRefInfo* info);
typedef int32_t(DXAPI* DxCCOpenConnByRefFn)(uint32_t reference, uint32_t open_state, uint32_t reserved,
                                            uint32_t* connection);
// Gives the reference after *iterator and advances it (0 starts the scan).
typedef int32_t(DXAPI* DxCCScanConnRefsFn)(uint32_t* iterator, uint32_t* reference);

// DXCALL32.DLL
// Fills object_name (DX_OBJECT_NAME_SIZE bytes) with the connection's login
// object name; the three small fields are the object's type, ID and the
// login time in seconds.
typedef int32_t(DXAPI* DxGetConnectionInformationFn)(uint32_t connection, uint32_t connection_number,
                                                     char* object_name, uint16_t* object_type,
                                                     uint32_t* object_id, uint32_t* login_time);
typedef int32_t(DXAPI* DxCallsInitFn)(void* reserved1, void* reserved2);
typedef int32_t(DXAPI* DxGetConnectionStatusFn)(uint32_t connection, uint8_t* status, uint32_t size);

// DXLOC32.DLL
typedef DxLocaleRecord*(DXAPI* DxLlocaleconvFn)(DxLocaleRecord* record);
typedef int32_t(DXAPI* DxInitUnicodeTablesFn)(int32_t country_id, int32_t code_page);
typedef int32_t(DXAPI* DxFreeUnicodeTablesFn)(void);

// DXNET32.DLL
// Answers a new context, or DX_ERR_CONTEXT_CREATION.
typedef int32_t(DXAPI* DxDSCreateContextFn)(void);
typedef int32_t(DXAPI* DxDSGetContextFn)(int32_t context, uint32_t key, void* value);
typedef int32_t(DXAPI* DxDSFreeContextFn)(int32_t context);
