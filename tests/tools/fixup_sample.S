// A test image for the fix-up routine (mbnapi/win/image_fixups_test.cpp): an executable
// that the test loads as a library, where Wine leaves it unrelocated and unbound.
// Each of its three sections holds a 64-bit address whose eight bytes cross from the
// section's first page into its second, so one base relocation writes two pages:
//   .fxcode   executable: the immediate of a movabs; the function runs on across the boundary
//   .fxdata   writable: a pointer, and the self-pointing probe that shows the distance moved
//   .fxrdata  read-only: a pointer
// One import (GetCurrentProcessId) shows the binding. No C runtime: nothing else moves.
// Section names stay within 8 characters, the longest an image's section table holds.

    .section .drectve
    .ascii " -export:straddling_function -export:second_page_function -export:imported_call"
    .ascii " -export:code_target -export:relocation_probe,data -export:straddling_data_pointer,data"
    .ascii " -export:data_target,data -export:straddling_readonly_pointer,data"

    .globl sample_entry, code_target, straddling_function, second_page_function, imported_call
    .globl relocation_probe, straddling_data_pointer, data_target, straddling_readonly_pointer

    .section .fxcode, "xr"
    .p2align 12
sample_entry:
    xorl %eax, %eax
    ret
code_target:
    movl $7, %eax
    ret
    // The 2-byte opcode ends at 0xFFC: the 8-byte immediate covers 0xFFC to 0x1003.
    .org 0xFFA, 0xCC
straddling_function:
    movabsq $code_target, %rax
    ret
second_page_function:
    movl $42, %eax
    ret
imported_call:
    subq $40, %rsp
    call *__imp_GetCurrentProcessId(%rip)
    addq $40, %rsp
    ret

    .section .fxdata, "dw"
    .p2align 12
relocation_probe:
    .quad relocation_probe
    .org 0xFFC, 0
straddling_data_pointer:
    .quad data_target
data_target:
    .quad 0

    .section .fxrdata, "dr"
    .p2align 12
    .org 0xFFC, 0
straddling_readonly_pointer:
    .quad code_target
    .quad 0
