/* A resource-only language library of the slave for the end-to-end tests.
   It is only ever loaded as a data file, so its entry point never runs; it
   exists because a DLL must name one. */
int __stdcall DllMainCRTStartup(void* module, unsigned long reason, void* reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}
