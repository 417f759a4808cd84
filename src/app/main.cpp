#include "app/command_line.h"
#include "app/tarvel_app.h"

int main(int argc, char** argv) {
    if (argc > 1)
        return RunCommandLine(argc, argv);
    return theApp.Run(argc, argv);
}
