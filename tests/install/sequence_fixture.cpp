#include "sequence_fixture.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "base/system_paths.h"
#include "payload/digest.h"

namespace velto::testing {

namespace fs = std::filesystem;

std::string describe(const Received& received) {
  if (received.disconnected) return "disconnected";
  if (!received.event) return "nothing";
  if (received.event->is_completed()) return "Completed";
  return std::string("Report ") + received.event->key();
}

SequenceTest::SequenceTest() {
  fs::create_directory(bin());
  fs::create_directory(staging_base());
}

void SequenceTest::fake(const std::string& name, const std::string& action) {
  // A copy, not a link: the launcher check must see a regular file of its own. The old one is
  // removed first, as a process that it left running may still execute it.
  fs::remove(bin() / name);
  fs::copy_file(FAKE_PROGRAM, bin() / name);
  std::ofstream(bin() / (name + ".action")) << action << "\n";
}

ProgramPaths SequenceTest::paths() const {
  return ProgramPaths{
      .python = (bin() / "python3").string(),
      .pkexec = (bin() / "pkexec").string(),
      .shell = "/bin/sh",
      .desktop = (bin() / "velto-desktop").string(),
  };
}

const PackagePayload& SequenceTest::payload() {
  static const std::vector<unsigned char> bytes = [] {
    std::ifstream in(TEST_PACKAGE, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
  }();
  static const std::string digest = sha256_hex(bytes).value();
  static const PackagePayload payload{
      bytes,
      digest,
      bytes.size(),
      {{{"Package", kPackageName},
        {"Version", kPackageVersion},
        {"Architecture", kPackageArchitecture}}},
  };
  return payload;
}

InstallPlan SequenceTest::plan() const {
  return InstallPlan{
      .stage =
          [base = staging_base().string()] {
            return stage_payload(payload(), system_path::kDpkgDeb, base);
          },
      .digest = std::string(payload().digest),
      .size = payload().size,
      .version = std::string(kPackageVersion),
      .paths = paths(),
      .preflight_script = "import sys\nprint('preflight')  # \"quoted\" $HOME `x` \xc3\xbc\n",
      .install_script = "#!/bin/sh\nset -eu\necho \"$1\" '$2'\n",
      // Never the machine's own: another package manager at work here, or a velto installed
      // here, must not change a result. The status database is absent until a test writes it.
      .lock_files = {},
      .dpkg_status = (dir_.path() / "dpkg-status").string(),
      .dpkg = system_path::kDpkg,
      .child_environment = {},
  };
}

Received SequenceTest::run(const InstallPlan& plan) {
  auto [sender, receiver] = make_progress_channel();
  run_install_sequence(plan, std::move(sender));
  Received received;
  auto first = receiver.try_receive();
  if (auto* event = std::get_if<ProgressEvent>(&first)) received.event = *event;
  // The run is over, so after its one event the channel must read as disconnected.
  received.disconnected = std::holds_alternative<ChannelDisconnected>(receiver.try_receive());
  if (received.event) {
    EXPECT_TRUE(received.disconnected) << "a second event or a live sender after the run";
    received.disconnected = false;
  }
  return received;
}

std::vector<std::string> SequenceTest::calls() const {
  std::vector<std::string> lines;
  std::ifstream in(bin() / "calls");
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> SequenceTest::started() const {
  std::vector<std::string> names;
  for (const std::string& line : calls()) {
    if (line.rfind("start ", 0) == 0) names.push_back(line.substr(6));
  }
  return names;
}

std::vector<std::string> SequenceTest::argv_of(const std::string& name, int call) const {
  std::ifstream in(bin() / (name + "." + std::to_string(call) + ".argv"), std::ios::binary);
  std::vector<std::string> argv;
  for (std::string element; std::getline(in, element, '\0');) argv.push_back(element);
  return argv;
}

std::string SequenceTest::info_of(const std::string& name, int call) const {
  std::ifstream in(bin() / (name + "." + std::to_string(call) + ".info"));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void SequenceTest::forget_calls() const {
  for (const auto& entry : fs::directory_iterator(bin())) {
    const std::string name = entry.path().filename().string();
    if (name == "calls" || name.ends_with(".argv") || name.ends_with(".info")) {
      fs::remove(entry.path());
    }
  }
}

std::vector<std::string> SequenceTest::leftovers() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(staging_base())) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

}  // namespace velto::testing
