// Test double of DXLOC32.DLL (see dxdouble.h).
#define DX_DLL_BUILD
#include "scanner/netid/testdlls/dxdouble.h"

using namespace dxdouble;

DX_EXPORT DxLocaleRecord* DXAPI DxLlocaleconv(DxLocaleRecord* record) {
    Log("DxLlocaleconv");
    record->country_id = 1;
    record->code_page = 437;
    return record;
}

DX_EXPORT int32_t DXAPI DxInitUnicodeTables(int32_t country_id, int32_t code_page) {
    Log("DxInitUnicodeTables %d %d", country_id, code_page);
    return 0;
}

DX_EXPORT int32_t DXAPI DxFreeUnicodeTables(void) {
    Log("DxFreeUnicodeTables");
    return 0;
}
