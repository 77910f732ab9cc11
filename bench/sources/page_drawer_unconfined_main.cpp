// The page drawing program without its confinement, for the side-by-side measure of what the
// confinement costs (page_drawer_bench.cpp). Never installed: the application runs only the
// confined vask-page-drawer.
#include "sources/page_drawer_program.h"

int main(int argc, char** argv) {
    return vask::PageDrawerProgram::run(argc, argv, false, vask::PageDrawerProgram::draw);
}
