#include <windows.h>

#include "app/run.h"

namespace {

// The command line in UTF-8, whatever the characters: the ANSI one that
// main() would get puts look-alikes in place of characters its code page
// lacks, and could name another file. Only the program's name and its four
// arguments are ever read; the whole command line (at most 32767 UTF-16
// units, each at most 3 octets) fits.
constexpr int ARGUMENTS_READ = 5;
char argument_text[3 * 32768];
char* arguments[ARGUMENTS_READ + 1];

}  // namespace

int wmain(int argc, wchar_t** argv) {
    char* free_text = argument_text;
    for (int i = 0; i < argc && i < ARGUMENTS_READ; ++i) {
        const int room = static_cast<int>(argument_text + sizeof argument_text - free_text);
        const int length =
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, free_text, room, nullptr, nullptr);
        arguments[i] = free_text;
        free_text += length;  // 0 on failure, which cannot happen with room for every unit
    }
    return app::run_main(argc, arguments);
}
