/* The least a reader that takes each packet as it comes costs: block on the
   tty, one read per arrival, nothing else. ptyfloor TTY */
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
int main(int argc, char **argv)
{
    int fd = argc > 1 ? open(argv[1], O_RDONLY | O_NOCTTY) : -1;
    struct termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0) return 1;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    unsigned char b[1024];
    for (;;) if (read(fd, b, sizeof b) <= 0) return 1;
}
