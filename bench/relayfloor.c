// The least a relay can cost: block on the tty, send each read on.
// relayfloor TTY PORT [IPV4 DESTINATION, default 127.0.0.1]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
int main(int argc, char **argv)
{
    int fd = open(argv[1], O_RDONLY | O_NOCTTY);
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 16;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_port = htons(atoi(argv[2]))};
    inet_pton(AF_INET, argc > 3 ? argv[3] : "127.0.0.1", &to.sin_addr);
    unsigned char b[256];
    for (;;) {
        ssize_t n = read(fd, b, sizeof b);
        if (n <= 0)
            return 1;
        sendto(s, b, (size_t)n, 0, (struct sockaddr *)&to, sizeof to);
    }
}
