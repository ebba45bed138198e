// Test double of DXCONN32.DLL (see dxdouble.h).
#define DX_DLL_BUILD
#include "scanner/netid/testdlls/dxdouble.h"

using namespace dxdouble;

DX_EXPORT int32_t DXAPI DxCCGetPrimConnRef(uint32_t* reference) {
    Log("DxCCGetPrimConnRef");
    if (Scenario("noprimary")) return kErrOther;
    *reference = kPrimaryRef;
    return 0;
}

DX_EXPORT int32_t DXAPI DxCCGetAllConnRefInfo(uint32_t reference, uint32_t info_type, DxConnRefInfo* info) {
    Log("DxCCGetAllConnRefInfo %u %u", reference, info_type);
    if (info_type != DX_CONN_INFO_ALL) return kErrOther;
    info->connection_number = reference * 2;
    return 0;
}

DX_EXPORT int32_t DXAPI DxCCOpenConnByRef(uint32_t reference, uint32_t open_state, uint32_t reserved,
                                          uint32_t* connection) {
    Log("DxCCOpenConnByRef %u %u %u", reference, open_state, reserved);
    if (open_state != DX_OPEN_STATE_EXISTING) return kErrOther;
    *connection = kConnectionBase + reference;
    return 0;
}

#ifndef DX_PARTIAL
DX_EXPORT int32_t DXAPI DxCCScanConnRefs(uint32_t* iterator, uint32_t* reference) {
    Log("DxCCScanConnRefs %u", *iterator);
    // References 11, 12, 13, then the end.
    if (*iterator >= 3) return kErrOther;
    *reference = 11 + *iterator;
    ++*iterator;
    return 0;
}
#endif
