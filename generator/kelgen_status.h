// Every exit status kelgen can end with, in one place.
#pragma once

enum KelgenStatus : int {
    // Generated, loaded only, usage text, version.
    statusOk = 0,
    // An exception that escaped the readers.
    statusFailure = 2,
    // The template loaded but cannot make a library whose trace keltrace
    // reads back (or whose C compiles), or an output path names the template
    // or the other output; nothing was written.
    statusTemplateRejected = 3,
    // An output file could not be written; neither output was replaced.
    statusOutputFailed = 4,
    // The template reader rejected the file (the shell sees 255).
    statusLoadFailed = -1,
};
