#include <windows.h>

#include "app/run.h"

namespace {

// The command line in UTF-8, whatever the characters: the ANSI one that
// main() would get puts look-alikes in place of characters its code page
// lacks, and could name another file. The whole command line (at most 32767
// UTF-16 units, each at most 3 octets, and at most one argument for each
// two units) fits.
constexpr int LONGEST_COMMAND_LINE = 32768;
char argument_text[3 * LONGEST_COMMAND_LINE];
char* arguments[LONGEST_COMMAND_LINE / 2 + 1];

}  // namespace

int wmain(int argc, wchar_t** argv) {
    char* free_text = argument_text;
    for (int i = 0; i < argc && i < LONGEST_COMMAND_LINE / 2; ++i) {
        const int room = static_cast<int>(argument_text + sizeof argument_text - free_text);
        const int length =
            WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, free_text, room, nullptr, nullptr);
        arguments[i] = free_text;
        free_text += length;  // 0 on failure, which cannot happen with room for every unit
    }
    return app::run_main(argc, arguments);
}
