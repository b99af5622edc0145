#include "support/GuiTestMain.h"

int main(int argc, char** argv) { return kapo::test::RunGuiTests(argc, argv); }
