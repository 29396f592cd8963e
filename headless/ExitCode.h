#pragma once

// What `brindlewick --headless` exits with; the manual page lists them.
enum class ExitCode : int
{
    Done = 0,         // finished as asked, or stopped by SIGTERM or SIGINT
    Failed = 1,       // something else went wrong while running
    BadArguments = 2, // an option or its value, or a rule file that cannot be read
    CannotListen = 3, // a --listen place could not be bound
    TimedOut = 4,     // --timeout passed before the run was done
};
