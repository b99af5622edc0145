// Shared entry of the GUI test programs: one application object for the whole run, offscreen,
// with the error display replaced so that tests can read what a user would have seen.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ui/Forms.h"

namespace kapo::test {

// Messages the error display has shown, in order.
inline std::vector<std::string>& ShownErrors()
{
    static std::vector<std::string> errors;
    return errors;
}

inline int RunGuiTests(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    auto* app = new kapo::TApplication;
    app->Initialize(argc, argv);
    app->SetErrorDisplay([](const std::string&, const std::string& msg) { ShownErrors().push_back(msg); });
    int rc = RUN_ALL_TESTS();
    delete app;
    return rc;
}

}  // namespace kapo::test
