// hold_file.exe MODE PATH: opens PATH as another Windows program would and
// holds it open until its standard input ends, for the Wine tests.
//   read   GENERIC_READ, sharing reads (a viewer, another download)
//   write  GENERIC_WRITE, sharing reads and writes (an editor saving the file)
// Prints "held" on standard output once the file is open; exit status 1 if it
// cannot be opened.
#include <cstdio>
#include <cstring>
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hold_file read|write PATH\n");
        return 2;
    }
    const bool write = std::strcmp(argv[1], "write") == 0;
    const DWORD access = write ? GENERIC_WRITE : GENERIC_READ;
    const DWORD sharing = write ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    HANDLE file = CreateFileA(argv[2], access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_file: cannot open %s (error %lu)\n", argv[2], GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char byte = 0;
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got == 1) {
    }
    CloseHandle(file);
    return 0;
}
