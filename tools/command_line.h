// The companions' command lines, read with CLI11.
#pragma once

#include <CLI/CLI.hpp>

// The exit status for a command line a companion can't take.
constexpr int kUsageError = 2;

// Reads the command line into |app|'s options, which are --words on every
// platform: a Windows-style "/x" would take an image path such as
// /firmware/fw.img for an option. Returns true to go on; false when the
// command line ends the program here, with CLI11's text printed and the
// exit status in |status|: 0 after --help, kUsageError for a bad command
// line. CLI11 reports a bad command line by throwing; this is the one place
// that catches it.
inline bool ParseCommandLine(CLI::App* app, int argc, char** argv, int* status) {
  app->allow_windows_style_options(false);
  try {
    app->parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    *status = app->exit(error) == 0 ? 0 : kUsageError;
    return false;
  }
  return true;
}

// For a program that keeps a usage text of its own (korvel-devsim, the
// benchmarks): |usage| is the text of --help (and of no -h), on standard
// output, and follows "|name|: <reason>" on standard error for a bad
// command line.
inline void UseUsageText(CLI::App* app, const char* name, const char* usage) {
  app->set_help_flag("--help");
  app->formatter_fn([usage](const CLI::App*, std::string, CLI::AppFormatMode) { return usage; });
  app->failure_message([name, usage](const CLI::App*, const CLI::Error& error) {
    return std::string(name) + ": " + error.what() + "\n" + usage;
  });
}
