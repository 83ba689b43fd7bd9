#pragma once

namespace velkan::py {
// Points the core's diagnostic sink at Python's sys.stdout. The writer takes the
// interpreter lock itself when the core runs without it (see released_gil.h).
void install_stdout_writer();
}  // namespace velkan::py
