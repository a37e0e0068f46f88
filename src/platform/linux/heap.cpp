// Provides: GetProcessHeap, HeapAlloc, HeapFree, RaiseException.
// The process heap is the C heap. HEAP_ZERO_MEMORY is honoured; a zero-byte request returns a
// valid, distinct block as on Windows. HEAP_GENERATE_EXCEPTIONS is not supported (a failed
// allocation returns null). RaiseException cannot unwind like structured exception handling:
// it ends the process with a failure status and writes nothing to standard output; the
// trace's exit line carries the exception code, the status a Windows process would end with.
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "simbook/trace.h"

namespace {
// Any non-null value that is never a real object: the stand-in has one heap.
char g_processHeapTag;
} // namespace

extern "C" HANDLE WINAPI GetProcessHeap(void) {
    return &g_processHeapTag;
}

extern "C" LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (hHeap != &g_processHeapTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // malloc(0) may return null; Windows returns a usable zero-length block.
    void* block = (dwFlags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(dwBytes == 0 ? 1 : dwBytes, 1)
                                                    : std::malloc(dwBytes == 0 ? 1 : dwBytes);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return block;
}

extern "C" BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    (void)dwFlags;
    if (hHeap != &g_processHeapTag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(lpMem); // freeing null succeeds, as on Windows
    return TRUE;
}

extern "C" VOID WINAPI RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags,
                                      DWORD nNumberOfArguments, const ULONG_PTR* lpArguments) {
    (void)dwExceptionFlags;
    (void)nNumberOfArguments;
    (void)lpArguments;
    char line[96];
    int n = std::snprintf(line, sizeof line, "unhandled exception 0x%08X: process ended\n",
                          static_cast<unsigned>(dwExceptionCode));
    if (n > 0) {
        ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(n));
        (void)ignored;
    }
    // As on Windows, the process's exit status is the exception code; the trace keeps all of
    // it, while the Linux status can only say "failure".
    simbook::TraceRunExit(static_cast<int32_t>(dwExceptionCode));
    // No handlers run and no buffered standard output is flushed: the process ends here.
    _exit(EXIT_FAILURE);
}
