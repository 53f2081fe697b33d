#include "host/serve/page_files.h"

#include <array>
#include <utility>

namespace veyra {

const EmbeddedFile* FindPageFile(std::string_view name) {
  for (const EmbeddedFile& file : PageFiles()) {
    if (file.name == name) {
      return &file;
    }
  }
  return nullptr;
}

std::string_view ContentTypeFor(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kTypes = {{
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".json", "application/json"},
  }};
  for (const auto& [extension, type] : kTypes) {
    if (name.size() > extension.size() && name.ends_with(extension)) {
      return type;
    }
  }
  return "application/octet-stream";
}

}  // namespace veyra
