/* rchostmsg.dll holds only the agent's message table. It is loaded as a
   data file by whoever shows the events, so its entry point never runs;
   it exists because a DLL must name one. */
int __stdcall DllMainCRTStartup(void* module, unsigned long reason, void* reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}
