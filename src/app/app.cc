#include "app/app.h"

namespace stackpeek::app {

std::string_view mode_label(const AppMode& mode) {
  switch (mode.kind) {
    case AppMode::Kind::Browse:
      return "browse";
    case AppMode::Kind::Permission:
      return "permission";
    case AppMode::Kind::Running:
      return "running";
  }
  return "browse";
}

}  // namespace stackpeek::app
