#include "encoder/native_encoder.h"

#include <thread>

#include "base/error.h"
#include "base/fd_output.h"
#include "base/sanitize.h"
#include "base/termination_signals.h"
#include "base/thread_name.h"
#include "encoder/arguments.h"
#include "encoder/capture_modes.h"
#include "encoder/program_path.h"
#include "encoder/usage.h"
#include "platform/capture_access.h"

namespace pelorin::encoder {
namespace {

std::vector<std::string> optionWords(const std::vector<std::string>& commandLine) {
  if (commandLine.empty()) return {};
  return {commandLine.begin() + 1, commandLine.end()};
}

bool isSingleWord(const std::vector<std::string>& words, const char* word) {
  return words.size() == 1 && words[0] == word;
}

void reportError(const EncoderServices& services, const Error& error) {
  writeLine(services.errorFd, "native_encoder_error reason=" + sanitized(error.description()));
}

int reportPermission(const EncoderServices& services, const std::string& event, bool allowed) {
  writeLine(services.outputFd,
            event + " allowed=" + (allowed ? "true" : "false") + " executable=" + services.programPath);
  return 0;
}

// Runs `mode` on a task thread of its own name, which the threads that libraries start from it
// inherit; the process status is the mode's outcome.
int runOnTask(const EncoderServices& services, const std::function<Result<void>()>& mode) {
  int status = 1;
  std::thread task([&] {
    nameThisThread("pelorin.run");
    Result<void> outcome = mode();
    if (!outcome) reportError(services, outcome.error());
    status = outcome ? 0 : 1;
  });
  task.join();
  return status;
}

}  // namespace

int runNativeEncoder(const std::vector<std::string>& commandLine, EncoderServices& services) {
  ignoreBrokenPipeSignal();
  const std::vector<std::string> words = optionWords(commandLine);
  services.programPath = standardizedProgramPath(commandLine.empty() ? std::string() : commandLine[0],
                                                 services.currentDirectory);

  if (isSingleWord(words, "--preflight")) {
    return reportPermission(services, "screen_capture_preflight", services.captureAccess->preflight());
  }
  if (isSingleWord(words, "--request-permission")) {
    return reportPermission(services, "screen_capture_request", services.captureAccess->request());
  }
  if (isSingleWord(words, "--help")) {
    writeUsage(services.outputFd);
    return 0;
  }
  // The portion modes show windows only where the display can be reached; elsewhere they fail as
  // the other modes do, without starting Qt.
  if (isSingleWord(words, "--select-portion") && services.selectPortion && services.captureAccess->preflight()) {
    services.selectPortion();
  }
  if (isSingleWord(words, "--select-portion") || isSingleWord(words, "--list-sources")) {
    return runOnTask(services, [&] { return runSingleWordMode(words[0], services); });
  }

  Result<Arguments> arguments = parseArguments(words);
  if (!arguments) {
    reportError(services, arguments.error());
    return 1;
  }
  // Before any thread starts, so that every thread inherits the mask and the run reads them.
  blockTerminationSignals();
  if (arguments->source == Source::portion && services.runOnWindowLoop && services.captureAccess->preflight()) {
    return services.runOnWindowLoop([&] { return runPortionMode(*arguments, services); });
  }
  return runOnTask(services, [&] { return runCaptureMode(*arguments, services); });
}

}  // namespace pelorin::encoder
