/* The machine's floor for a periodic wake: block on a timerfd at 100 Hz, do nothing else. */
#include <stdint.h>
#include <sys/timerfd.h>
#include <unistd.h>
int main(void)
{
    struct itimerspec t = {{0, 10000000}, {0, 10000000}};
    int fd = timerfd_create(CLOCK_MONOTONIC, 0);
    uint64_t n;
    if (fd < 0 || timerfd_settime(fd, 0, &t, 0) != 0) return 1;
    for (;;) if (read(fd, &n, sizeof n) != sizeof n) return 1;
}
