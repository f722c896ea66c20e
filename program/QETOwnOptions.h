#ifndef QET_OWN_OPTIONS_H
#define QET_OWN_OPTIONS_H

// QET's own two options. One argument normally means "serve" (it is not
// enough to make a request), but nobody serves by asking for help: --help and
// --version as the sole argument are answered on stdout, and QET exits 0
// without logging, serving or handing anything over. Anywhere else they are
// words of a request, as every other argument.
namespace qet {

// True when the command line is one of them, answered.
bool answerOwnOption(int argc, char** argv);

} // namespace qet

#endif
