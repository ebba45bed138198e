// Test double of DXCALL32.DLL (see dxdouble.h).
#define DX_DLL_BUILD
#include "scanner/netid/testdlls/dxdouble.h"

using namespace dxdouble;

DX_EXPORT int32_t DXAPI DxGetConnectionInformation(uint32_t connection, uint32_t connection_number,
                                                   char* object_name, uint16_t* object_type, uint32_t* object_id,
                                                   uint32_t* login_time) {
    Log("DxGetConnectionInformation %u %u", connection, connection_number);
    const uint32_t reference = connection - kConnectionBase;
    const char* name = "JSMITH";
    if (Scenario("scan") || Scenario("scan-end")) {
        if (reference == kPrimaryRef) return kErrOther;
        if (reference == 11) return Scenario("scan-end") ? DX_ERR_NO_MORE_CONNECTIONS : kErrOther;
        name = "SCANNED";
    }
    if (Scenario("dotted")) name = "JSMITH.SALES";
    if (Scenario("longname")) {
        std::memset(object_name, 'L', DX_OBJECT_NAME_SIZE);  // no terminator
    } else {
        std::strcpy(object_name, name);
    }
    *object_type = 1;
    *object_id = 0x1234;
    *login_time = 0;
    return 0;
}

DX_EXPORT int32_t DXAPI DxCallsInit(void* reserved1, void* reserved2) {
    Log("DxCallsInit");
    return 0;
}

#ifndef DX_PARTIAL
DX_EXPORT int32_t DXAPI DxGetConnectionStatus(uint32_t connection, uint8_t* status, uint32_t size) {
    Log("DxGetConnectionStatus %u %u", connection, size);
    std::memset(status, 0, size);
    const bool authenticated = !Scenario("unauth") && !Scenario("scan") && !Scenario("longname");
    if (authenticated) status[DX_STATUS_AUTH_BYTE] = DX_STATUS_AUTH_BIT;
    return 0;
}
#endif
