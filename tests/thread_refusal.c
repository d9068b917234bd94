// Preloaded into the product by an end-to-end test: once the process has forked (the launch of
// setup.exe), no further thread can be created, as when the system has run out of them.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <unistd.h>

static atomic_int Forked;

pid_t fork(void) {
  pid_t (*const RealFork)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
  const pid_t Child = RealFork();
  if (Child > 0) atomic_store(&Forked, 1);
  return Child;
}

int pthread_create(pthread_t* Thread, const pthread_attr_t* Attributes, void* (*Start)(void*),
                   void* Argument) {
  typedef int (*CreateFunction)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  if (atomic_load(&Forked)) return EAGAIN;
  const CreateFunction RealCreate = (CreateFunction)dlsym(RTLD_NEXT, "pthread_create");
  return RealCreate(Thread, Attributes, Start, Argument);
}
