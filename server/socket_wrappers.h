#ifndef SOCKET_WRAPPERS_H
#define SOCKET_WRAPPERS_H

#include <sys/socket.h>

#include <cstddef>

/*
 * The server's socket calls.  Each takes the call's own arguments and
 * either succeeds or ends the process through err_sys.
 */
int Socket(int family, int type, int protocol);
void Bind(int fd, const struct sockaddr *sa, socklen_t salen);
void Listen(int fd, int backlog);
int Accept(int fd, struct sockaddr *sa, socklen_t *salenptr);
void Write(int fd, const void *ptr, size_t nbytes);
void Close(int fd);

#endif
