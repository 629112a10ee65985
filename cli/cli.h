// The command line of debug: count test, help block, dispatch.
#ifndef CLI_CLI_H
#define CLI_CLI_H

// Runs one command line of the tool and returns its exit status: 0 once a
// command has run, -1 when the line is refused, the record can't be made or
// standard output could not be written.
int debug_main(int argc, char **argv);

// Prints the help block.
void debug_print_help();

// atoi() for every text whose number fits an int; numbers beyond clamp to
// INT_MAX or INT_MIN, as on the 32-bit target.
int debug_parse_value(const char *text);

#endif
