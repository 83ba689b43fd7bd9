#pragma once

namespace velkan::py {
// Points the core's diagnostic sink at Python's sys.stdout (the GIL is held whenever the
// core runs, so the writer may call into the interpreter).
void install_stdout_writer();
}  // namespace velkan::py
