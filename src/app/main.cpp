#include "app/tarvel_app.h"
#include "headless/relay_command_line.h"

int main(int argc, char** argv) {
    // Any argument asks for the relay without a window, or for --help or --version.
    if (argc > 1)
        return RunRelayCommandLine(argc, argv, CommandLineOwner::DialogProgram);
    return theApp.Run(argc, argv);
}
