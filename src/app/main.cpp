#include "app/tarvel_app.h"

int main(int argc, char** argv) {
    return theApp.Run(argc, argv);
}
