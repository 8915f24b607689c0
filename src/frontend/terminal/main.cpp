// The Linux program: the shared dialog behaviour on a terminal, or headless
// when standard output is not a terminal. Command-line arguments other than
// --version are ignored and the working directory is kept: every file is
// found from where the program is started.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "frontend/terminal/terminal_front_end.h"
#include "state/version.h"

using namespace pelmora;

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("pelmora %s\n", PELMORA_VERSION);
        return 0;
    }
    // Like the Windows program's idle priority class: below all normal work.
    setpriority(PRIO_PROCESS, 0, 19);
    TerminalFrontEnd frontEnd(!isatty(STDOUT_FILENO));
    return frontEnd.run();
}
