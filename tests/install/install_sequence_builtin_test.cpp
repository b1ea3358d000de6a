#include "install/install_sequence_builtin.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "base/system_paths.h"
#include "payload/package_payload.h"
#include "temp_dir.h"

namespace velto {
namespace {

TEST(BuiltinInstallPlan, CarriesThePackagesFactsTheSystemsPathsAndTheTexts) {
  const InstallPlan plan =
      builtin_install_plan("preflight text", "install text", EnvironmentOverlay{"LANG=C"});
  EXPECT_EQ(plan.digest, builtin_payload().digest);
  EXPECT_EQ(plan.digest.size(), 64u);
  EXPECT_EQ(plan.size, builtin_payload().size);
  EXPECT_EQ(plan.version, kPackageVersion);
  EXPECT_EQ(plan.paths.python, system_path::kPython);
  EXPECT_EQ(plan.paths.pkexec, system_path::kPkexec);
  EXPECT_EQ(plan.paths.desktop, system_path::kDesktop);
  EXPECT_EQ(plan.preflight_script, "preflight text");
  EXPECT_EQ(plan.install_script, "install text");
  EXPECT_EQ(plan.child_environment, EnvironmentOverlay{"LANG=C"});
}

TEST(BuiltinInstallPlan, StagesTheBuiltInPackageUnderTmpdirAtRunTime) {
  const InstallPlan plan = builtin_install_plan("", "", {});
  testing::TempDir base;
  // Read when the run stages, not when the plan is made.
  ::setenv("TMPDIR", base.str().c_str(), 1);
  StagingOutcome staged = plan.stage();
  ::unsetenv("TMPDIR");
  ASSERT_TRUE(staged.has_value());
  EXPECT_EQ(std::filesystem::path(staged->directory()).parent_path(), base.path());
  EXPECT_EQ(std::filesystem::file_size(staged->package_path()), plan.size);
  staged.reset();
  EXPECT_TRUE(std::filesystem::is_empty(base.path()));
}

}  // namespace
}  // namespace velto
