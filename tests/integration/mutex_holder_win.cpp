// Holds a named mutex for a test: prints "held <n>" (n = 1 when the mutex
// already existed) and keeps it until its standard input reaches its end.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: mutex_holder <name>\n", stderr);
    return 2;
  }
  HANDLE mutex = CreateMutexW(nullptr, FALSE, argv[1]);
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (mutex == nullptr) {
    std::fputs("CreateMutexW failed\n", stderr);
    return 1;
  }
  std::printf("held %d\n", existed ? 1 : 0);
  std::fflush(stdout);
  char buffer[64];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) &&
         read > 0) {
  }
  CloseHandle(mutex);
  return 0;
}
