#include <windows.h>

#include "library.h"

namespace pelmora::host {
namespace {
HMODULE module = nullptr;

template <typename T>
bool Resolve(WORD ordinal, T* fn, std::string* error) {
  *fn = reinterpret_cast<T>(reinterpret_cast<void*>(
      ::GetProcAddress(module, MAKEINTRESOURCEA(ordinal))));
  if (!*fn) *error = "missing export ordinal " + std::to_string(ordinal);
  return *fn != nullptr;
}
}  // namespace

bool Load(const std::string& path, Exports* e, std::string* error) {
  module = ::LoadLibraryA(path.c_str());
  if (!module) {
    *error = "LoadLibrary failed, error " + std::to_string(::GetLastError());
    return false;
  }
  return Resolve(1, &e->InitService, error) &&
         Resolve(2, &e->UninitService, error) &&
         Resolve(3, &e->UpdateItem, error) &&
         Resolve(4, &e->SendEventEx, error) &&
         Resolve(5, &e->DoSettings, error) &&
         Resolve(6, &e->SetWriteCallback, error);
}

void Unload() {
  if (module) ::FreeLibrary(module);
  module = nullptr;
}

#if defined(__i386__)
// Pushes the arguments, calls, and measures esp against its value before
// the pushes; esi survives the call because every convention preserves it.
extern "C" int __cdecl pelmora_stack_delta1(void* fn, const void* a);
extern "C" int __cdecl pelmora_stack_delta2(void* fn, const void* a,
                                            const void* b);
__asm__(
    ".globl _pelmora_stack_delta1\n"
    "_pelmora_stack_delta1:\n"
    "  pushl %esi\n"
    "  movl %esp, %esi\n"
    "  pushl 12(%esi)\n"
    "  call *8(%esi)\n"
    "  movl %esi, %eax\n"
    "  subl %esp, %eax\n"
    "  movl %esi, %esp\n"
    "  popl %esi\n"
    "  ret\n"
    ".globl _pelmora_stack_delta2\n"
    "_pelmora_stack_delta2:\n"
    "  pushl %esi\n"
    "  movl %esp, %esi\n"
    "  pushl 16(%esi)\n"
    "  pushl 12(%esi)\n"
    "  call *8(%esi)\n"
    "  movl %esi, %eax\n"
    "  subl %esp, %eax\n"
    "  movl %esi, %esp\n"
    "  popl %esi\n"
    "  ret\n");

int StackDeltaOfStdcall(void* fn, const void* a, const void* b, int args) {
  return args == 2 ? pelmora_stack_delta2(fn, a, b)
                   : pelmora_stack_delta1(fn, a);
}
#else
// x64 Windows has one calling convention, and the caller owns the stack.
int StackDeltaOfStdcall(void*, const void*, const void*, int) { return 0; }
#endif

bool CountResources(int*, int*) { return false; }

}  // namespace pelmora::host
