// libstdc++'s headers, as Debian's cross compiler has them, were configured
// for glibc: on a C library without quick_exit (uClibc-ng) they must not
// name it. Only declarations change; nothing of libstdc++ is linked.
#include_next <bits/c++config.h>
#undef _GLIBCXX_HAVE_AT_QUICK_EXIT
#undef _GLIBCXX_HAVE_QUICK_EXIT
