#pragma once

#include <string_view>

// Every text the program says, each written once. The console program prints these; the web
// page and the tests read them from this file, so a text changed here changes everywhere but in
// the hand-written documents (README.md, tool/halvek.1, packaging/README-windows.txt), which a
// test compares with what the program prints.
//
// Keep each entry in the form `inline constexpr std::string_view name = "literal" ...;` with
// plain string literals only: that is the form the other readers of this file understand. "{}"
// stands for the one value a text is given.
namespace halvek::texts {

// The screen shown for a wrong command line. It names the Windows program and an example name
// on every system, as its users have always seen it.
inline constexpr std::string_view usage = "Halvek - Patches SRAM string to 64k\n"
                                          "-----------------------------------\n"
                                          "Invalid command line.\n"
                                          "Usage:\n\tHalvek.exe infile.nds\n"
                                          "Or use Windows drag and drop\n"
                                          "-----------------------------------\n";

// The banner: the title with the version, underlined by as many dashes as it is long, then the
// three names.
inline constexpr std::string_view title = "Halvek {}";
inline constexpr std::string_view input_name = "input file : {}\n";
inline constexpr std::string_view output_name = "output file: {}\n";
inline constexpr std::string_view save_name = "saver file : {}\n\n";

// The stages, the complement check in lower-case hexadecimal.
inline constexpr std::string_view complement = "comp: {}\n\n";
inline constexpr std::string_view copying = "Copying file...\n\n";
inline constexpr std::string_view making_save = "Making blank save file...\n\n";
inline constexpr std::string_view success = "Finished......Success!\n\n"
                                            "You will have to rename the .out and .sav to your preference\n"
                                            "and place them in the proper places\n\n";

// The ways a run can fail, each naming the file it failed on.
inline constexpr std::string_view opening_failed = "Error opening {}.\n";
inline constexpr std::string_view reading_failed = "Error reading {}.\n";
inline constexpr std::string_view writing_failed = "Error writing {}.\n";
inline constexpr std::string_view out_of_memory = "Not enough memory.\n";

// The last line of every run; every run but a successful one puts a blank line before it.
inline constexpr std::string_view prompt = "press <enter> to quit...\n";

}  // namespace halvek::texts
