// The faults a test can give the stand-in lists, each by a definition on the
// compiler's command line. Each fault names the operation it spoils by its
// ordinal from 1 (the second append, say); 0 spoils every one, and -1, the
// default, none.
#pragma once

#ifndef STAND_IN_DROPPED_APPEND
#define STAND_IN_DROPPED_APPEND -1 // the value is not stored
#endif
#ifndef STAND_IN_DOUBLED_APPEND
#define STAND_IN_DOUBLED_APPEND -1 // the value is stored twice
#endif
#ifndef STAND_IN_SKEWED_APPEND
#define STAND_IN_SKEWED_APPEND -1 // the value is stored one too high
#endif
#ifndef STAND_IN_PREPEND_AT_BACK
#define STAND_IN_PREPEND_AT_BACK -1 // the value lands at the back
#endif
#ifndef STAND_IN_IGNORED_CLEAR
#define STAND_IN_IGNORED_CLEAR -1 // the list keeps its elements
#endif

// Whether <fault> spoils the operation of this <ordinal>.
inline bool standInSpoils(int fault, int ordinal)
{
    return fault == 0 || fault == ordinal;
}
