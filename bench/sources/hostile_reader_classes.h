#pragma once

#include <optional>

namespace vask::bench {

// The hostile HTML, word-processor, vCard and calendar inputs, and text files to decode, of the peak-memory driver:
//   reader_peak_memory write-hostile CLASS COUNT FILE   writes one input (COUNT repeats its unit)
//   reader_peak_memory html|doc|vcf|text FILE            reads one file the way the readers do
//   reader_peak_memory stop html|doc|rtf FILE MS         reads one file, asks it to stop MS
//                                                       milliseconds in, and prints how long
//                                                       the reader took to stop
//   reader_peak_memory hostile-table FOLDER [PREFIX]    writes and reads every class (whose
//                                                       name starts with PREFIX) at two sizes,
//                                                       each in a process of its own, and prints
//                                                       peak memory and time per class
// Returns the exit status when the command is one of these, nothing otherwise.
std::optional<int> runHostileReaderCommand(int argc, char** argv);

}  // namespace vask::bench
