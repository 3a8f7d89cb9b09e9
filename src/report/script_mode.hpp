// The demonstration that runs when the module is the program's main module.
#pragma once

namespace report {

// Reads the query at the fixed path, analyses it and prints the records as a
// data frame and as one labelled line each. 0, or -1 with an exception set.
int run_script_mode();

}  // namespace report
