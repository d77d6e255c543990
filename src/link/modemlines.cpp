#include "modemlines.h"

#include "tallysource.h"

#include <cerrno>

#ifdef __linux__
#include <sys/ioctl.h>
#endif

int readModemLines(int fd, int *lines)
{
#ifdef __linux__
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) != 0)
        return errno != 0 ? errno : EIO;
    *lines = ((bits & TIOCM_CTS) ? TallySource::Cts : 0) | ((bits & TIOCM_DSR) ? TallySource::Dsr : 0)
           | ((bits & TIOCM_CAR) ? TallySource::Dcd : 0) | ((bits & TIOCM_RNG) ? TallySource::Ri : 0);
    return 0;
#else
    (void)fd;
    (void)lines;
    return ENOTSUP;
#endif
}
