/*
 * The processor timing sequence and the coprocessor probe, i686.
 *
 * The speed measurement times this exact instruction sequence: its cost per
 * run on the processors without a time-stamp counter is what the cycle table
 * in cpu.cpp holds, so the sequence lives here in machine code where no
 * compiler can reorder or shorten it. Every step decrements one 16-bit
 * register and branches on zero with a conditional near jump, else goes on
 * with an unconditional jump; CX counts 15000 iterations, AX, BX and DX
 * start with whatever the caller passes.
 *
 *   void qv_timing_sequence(unsigned ax, unsigned bx, unsigned dx);   cdecl
 *   unsigned qv_fpu_status(void);   FNINIT, then FNSTSW into a word set to 0x5A5A
 */
    .intel_syntax noprefix
    .text

    .globl _qv_timing_sequence
    .def _qv_timing_sequence; .scl 2; .type 32; .endef
_qv_timing_sequence:
    push ebx
    mov eax, [esp + 8]
    mov ebx, [esp + 12]
    mov edx, [esp + 16]
    mov cx, 15000
T1: dec ax
    {disp32} jz T5
    jmp T4
T2: dec ax
    {disp32} jz T7
    jmp T6
T3: dec bx
    {disp32} jz T7
    jmp T6
T4: dec dx
    {disp32} jz T2
    jmp T3
T5: dec ax
    {disp32} jz T2
    jmp T3
T6: dec cx
    {disp32} jz Tend
    jmp T1
T7: dec cx
    {disp32} jz Tend
    jmp T1
Tend:
    pop ebx
    ret

    .globl _qv_fpu_status
    .def _qv_fpu_status; .scl 2; .type 32; .endef
_qv_fpu_status:
    sub esp, 4
    mov word ptr [esp], 0x5A5A
    fninit
    fnstsw word ptr [esp]
    movzx eax, word ptr [esp]
    add esp, 4
    ret
