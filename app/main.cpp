#include "app/run.h"

int main(int argc, char** argv) { return app::run_main(argc, argv); }
