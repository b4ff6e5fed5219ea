/* Descriptors from socket and accept, used by bind, listen, connect, send,
 * recv and shutdown. */
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "fdtools.h"

long echo_once(const char *path, const char *text)
{
	struct sockaddr_un addr;
	char buf[32];
	long got = -1;
	int server = socket(AF_UNIX, SOCK_STREAM, 0);
	int client;
	int conn;

	if (server < 0)
		return -1;
	memset(&addr, 0, sizeof addr);
	addr.sun_family = AF_UNIX;
	strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
	unlink(path);
	client = socket(AF_UNIX, SOCK_STREAM, 0);
	if (client >= 0 && bind(server, (struct sockaddr *)&addr, sizeof addr) == 0 && listen(server, 1) == 0 &&
	    connect(client, (struct sockaddr *)&addr, sizeof addr) == 0) {
		conn = accept(server, NULL, NULL);
		if (conn >= 0) {
			send(client, text, strlen(text), 0);
			got = recv(conn, buf, sizeof buf, 0);
			shutdown(conn, SHUT_RDWR);
			close(conn);
		}
	}
	if (client >= 0)
		close(client);
	close(server);
	unlink(path);
	return got;
}
