// SPDX-License-Identifier: MIT
/* Two glibc extensions that Debian's libstdc++ headers name in inline members of
 * <mutex> and <condition_variable> (timed waits on a chosen clock). Declared only: no
 * code of Menuhold or its tests waits that way, and a call would fail to link. */
#include_next <pthread.h>
#ifndef MENUHOLD_MUSL_CXX_PTHREAD_H
#define MENUHOLD_MUSL_CXX_PTHREAD_H
extern "C" {
int pthread_cond_clockwait(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
int pthread_mutex_clocklock(pthread_mutex_t*, clockid_t, const struct timespec*);
}
#endif
