/* Stands in for libunwind's header in the build that must not use it: any
 * source that includes it unconditionally fails to compile there. */
#error "libunwind.h included in a build configured without libunwind"
