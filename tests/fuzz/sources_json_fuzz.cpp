// The source list with hostile names and titles: one line of valid JSON, every "/" escaped, same texts.
#include <fuzzer/FuzzedDataProvider.h>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "sources/source_list.h"

using namespace pelorin::sources;
using nlohmann::json;

namespace {

void checkText(const json& value, const std::string& text) {
  bool utf8 = true;  // invalid UTF-8 is replaced
  try {
    (void)json(text).dump();
  } catch (const json::type_error&) {
    utf8 = false;
  }
  fuzzCheck(value.is_string() && (!utf8 || value.get<std::string>() == text), "a text reads back unchanged");
}

// No "/" outside an escape sequence.
bool slashesEscaped(const std::string& document) {
  for (std::size_t i = 0; i < document.size(); ++i) {
    if (document[i] == '\\') ++i;
    else if (document[i] == '/') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider p(data, size);
  std::vector<SourceDisplay> displays(p.ConsumeIntegralInRange(0, 2));
  for (auto& d : displays) {
    d = {p.ConsumeIntegral<std::uint64_t>(), p.ConsumeRandomLengthString(64), p.ConsumeIntegral<std::uint32_t>(),
         p.ConsumeIntegral<std::uint32_t>(), std::nullopt};
    if (p.ConsumeBool()) d.thumbnail = p.ConsumeRandomLengthString(16);
  }
  std::vector<SourceWindow> windows(p.ConsumeIntegralInRange(0, 3));
  for (auto& w : windows) w = {p.ConsumeIntegral<std::uint64_t>(), p.ConsumeRandomLengthString(64), p.ConsumeRandomLengthString()};

  const std::string document = sourcesJSON(displays, windows);
  fuzzCheck(document.find('\n') == std::string::npos && slashesEscaped(document), "one line, every / escaped");
  const json parsed = json::parse(document, nullptr, false);
  fuzzCheck(!parsed.is_discarded() && parsed["displays"].size() == displays.size() &&
                parsed["windows"].size() == windows.size() && parsed["portion"] == true,
            "valid JSON holding every source");
  for (std::size_t i = 0; i < displays.size(); ++i) {
    const json& d = parsed["displays"][i];
    fuzzCheck(d["id"] == displays[i].id && d["width"] == displays[i].width && d["height"] == displays[i].height,
              "display numbers unchanged");
    checkText(d["name"], displays[i].name);
    if (displays[i].thumbnail) checkText(d["thumbnail"], *displays[i].thumbnail);
    else fuzzCheck(d["thumbnail"].is_null(), "no thumbnail is null");
  }
  for (std::size_t i = 0; i < windows.size(); ++i) {
    fuzzCheck(parsed["windows"][i]["id"] == windows[i].id, "window identifier unchanged");
    checkText(parsed["windows"][i]["app"], windows[i].app);
    checkText(parsed["windows"][i]["title"], windows[i].title);
  }
  return 0;
}
