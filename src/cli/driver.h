#pragma once

namespace clipwalk {

// The whole run of one command line; answers the process's exit status.
int run_driver(int argc, const char* const* argv);

}  // namespace clipwalk
