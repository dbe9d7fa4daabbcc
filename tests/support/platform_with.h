#pragma once

#include "platform/platform.h"

namespace telvo::testing {

// The interfaces a test double stands in for; the others stay the backend's.
struct SeamReplacements {
    platform::Kernel* kernel = nullptr;
    platform::Console* console = nullptr;
    platform::ServiceControl* service = nullptr;
    platform::Files* files = nullptr;
    platform::Sync* sync = nullptr;
    platform::Security* security = nullptr;
    platform::AppContainer* appcontainer = nullptr;
    platform::System* system = nullptr;
    platform::Processes* processes = nullptr;
    platform::Pipes* pipes = nullptr;
    platform::Wfp* wfp = nullptr;
};

// `base` with the replaced interfaces: the one place that lists the seam's
// members, so that a test double names only what it wraps.
inline platform::Platform PlatformWith(const platform::Platform& base, const SeamReplacements& with) {
    return platform::Platform{
        with.kernel ? *with.kernel : base.kernel,
        with.console ? *with.console : base.console,
        with.service ? *with.service : base.service,
        with.files ? *with.files : base.files,
        with.sync ? *with.sync : base.sync,
        with.security ? *with.security : base.security,
        with.appcontainer ? *with.appcontainer : base.appcontainer,
        with.system ? *with.system : base.system,
        with.processes ? *with.processes : base.processes,
        with.pipes ? *with.pipes : base.pipes,
        with.wfp ? *with.wfp : base.wfp,
    };
}

}  // namespace telvo::testing
