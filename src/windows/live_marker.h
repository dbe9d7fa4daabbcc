#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::windows {

// A run is alive exactly as long as its live marker, a named global mutex
// ("Global\<profile name>"), exists: the run holds its only handle.
enum class Liveness { alive, dead };

// Creates the marker, owned by the process's user, who alone may open it,
// and for SYNCHRONIZE only. A marker that already exists is refused: its
// name belongs to another run.
Result<platform::UniqueHandle> CreateLiveMarker(platform::Platform& platform, std::string_view mutex_name);

// Whether the run that created the marker still holds it.
Result<Liveness> ProbeLiveMarker(platform::Platform& platform, std::string_view mutex_name);

}  // namespace telvo::windows
