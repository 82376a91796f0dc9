// pilro-place: writes the relay (or the stub) beside a real Windows module with every export of
// it, and removes it again. Run with --help for the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "placing.h"
#include "platform/platform.h"

namespace {

const char usage[] =
    "usage: pilro-place [--stub] [--from DIR] MODULE\n"
    "       pilro-place --undo MODULE\n"
    "\n"
    "Writes pilro's relay beside the Windows module MODULE, named as MODULE with .pilro\n"
    "before its extension (saori/foo.dll: saori/foo.pilro.dll), with every export that\n"
    "MODULE has, by name and by ordinal: load, request, unload and loadu go through the\n"
    "relay and are logged; every other export goes straight to MODULE's function, found at\n"
    "its first call, neither logged nor changed. Then point the host at the new file where\n"
    "it names MODULE.\n"
    "\n"
    "  --stub       write the stub (pilro-stub.dll) instead, which answers from the capture\n"
    "               beside it; its other exports go to MODULE where that is beside it, and\n"
    "               return 0 where it is not\n"
    "  --from DIR   take pilro-relay.dll and pilro-stub.dll from DIR (default: the folder\n"
    "               that holds pilro-place)\n"
    "  --undo       remove the file that pilro-place wrote for MODULE, and nothing else\n"
    "  -h, --help   show this text\n"
    "\n"
    "MODULE must be a DLL of the relay's machine (the release's relay is 32-bit x86) that\n"
    "exports request, unload, and load or loadu, and is no relay or stub itself. A relay or\n"
    "stub already where the new file goes is replaced; any other file there is left alone.\n"
    "POSIX shared objects are not placed: copy pilro-relay.so into place by hand.\n"
    "\n"
    "Exit status: 0 when done; 1 when MODULE, the relay or stub, or the file to write or\n"
    "remove cannot be used (then nothing is written or removed); 2 for bad arguments.\n";

int bad_arguments(const std::string& why) {
    std::fprintf(stderr, "pilro-place: %s\n%.*s\nRun pilro-place --help for more.\n", why.c_str(),
                 static_cast<int>(std::string(usage).find('\n')), usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<pilro::platform::argument> words =
        pilro::platform::program_arguments(argc, argv);
    bool stub = false;
    bool undo = false;
    bool has_from = false;
    std::string from;
    std::vector<std::string> modules;
    for (std::size_t k = 0; k < words.size(); ++k) {
        const std::string& word = words[k].bytes;
        if (word == "-h" || word == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (word == "--stub" || word == "--undo") {
            bool& flag = word == "--stub" ? stub : undo;
            if (flag) {
                return bad_arguments(word + " is given twice");
            }
            flag = true;
        } else if (word == "--from") {
            if (has_from || k + 1 == words.size()) {
                return bad_arguments(has_from ? "--from is given twice" : "--from needs a folder");
            }
            has_from = true;
            from = words[++k].bytes;
        } else if (word.compare(0, 1, "-") == 0 && word.size() > 1) {
            return bad_arguments("unknown option " + word);
        } else {
            modules.push_back(word);
        }
    }
    if (modules.size() != 1) {
        return bad_arguments(modules.empty() ? "no MODULE given" : "more than one MODULE given");
    }
    if (undo && (stub || has_from)) {
        return bad_arguments("--undo takes no --stub or --from");
    }
    std::string message;
    const bool done =
        undo ? pilro::place::undo(modules[0], message)
             : pilro::place::place_module(
                   modules[0], stub ? pilro::place::stand_in::stub : pilro::place::stand_in::relay,
                   from, message);
    std::fprintf(done ? stdout : stderr, "pilro-place: %s\n", message.c_str());
    return done ? 0 : 1;
}
