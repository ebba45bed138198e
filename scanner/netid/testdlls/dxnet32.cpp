// Test double of DXNET32.DLL (see dxdouble.h).
#define DX_DLL_BUILD
#include "scanner/netid/testdlls/dxdouble.h"

using namespace dxdouble;

DX_EXPORT int32_t DXAPI DxDSCreateContext(void) {
    Log("DxDSCreateContext");
    return Scenario("nocontext") ? DX_ERR_CONTEXT_CREATION : 5;
}

DX_EXPORT int32_t DXAPI DxDSGetContext(int32_t context, uint32_t key, void* value) {
    Log("DxDSGetContext %d %u", context, key);
    if (key != DX_CONTEXT_NAME) return kErrOther;
    std::strcpy(static_cast<char*>(value), "SALES.ACME");
    return 0;
}

DX_EXPORT int32_t DXAPI DxDSFreeContext(int32_t context) {
    Log("DxDSFreeContext %d", context);
    return 0;
}
