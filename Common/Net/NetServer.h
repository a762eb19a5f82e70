// NetServer.h - accepts clients into its slots (8 unless the owner asks for
// up to 100) and lends each a reusable
// handler made by the factory. Knows nothing of the protocol (see
// GameServer). dataMutex guards every member below it; the callbacks run
// with it held. Lock order: server, then handler, then socket.
#ifndef NETSERVER_H
#define NETSERVER_H

#include <pthread.h>

#include "NetSocket.h"

class NetClientHandler;
class NetClientHandlerFactory;
class NetServerClient;

// Connections served at once, and so the number of client slots and of
// handlers, unless the owner asks for another number within the limit.
const int NETSERVER_DEFAULT_MAX_CLIENTS = 8;
const int NETSERVER_MAX_CLIENTS_LIMIT = 100;
// The accept thread idles in steps of this while the server is stopped.
const long NETSERVER_IDLE_MS = 500;
// One wait for a connection, so the accept thread sees a stop in time.
const int NETSERVER_ACCEPT_WAIT_MS = 500;
// Pause after an accept failure that would repeat at once (no descriptors).
const long NETSERVER_ACCEPT_RETRY_MS = 100;
// How long startServer waits for the previous listening descriptor to close.
const long NETSERVER_RESTART_WAIT_MS = 1000;
// A connection that finds every slot taken waits this long for one to free
// before it is refused: a client that leaves and comes straight back is
// often faster than the report of its own departure.
const long NETSERVER_REFUSE_GRACE_MS = 100;
// TCP keepalive of accepted connections, in seconds: a peer whose machine
// vanished is found dead after idle + interval * count (2 minutes; the same
// bound holds for data it never acknowledges), which frees its slot and its
// lobby entry. CARVANTA_TEST_KEEPALIVE="idle,interval,
// count" shortens them for tests.
const int NETSERVER_KEEPALIVE_IDLE_S = 60;
const int NETSERVER_KEEPALIVE_INTERVAL_S = 10;
const int NETSERVER_KEEPALIVE_COUNT = 6;

class NetServer : public NetSocket {
public:
    // Sizes the client slots and handlers for maxClients connections
    // (1 to NETSERVER_MAX_CLIENTS_LIMIT, else the default) and starts the
    // accept thread, which idles until the server is started.
    explicit NetServer(int maxClients = NETSERVER_DEFAULT_MAX_CLIENTS);
    // Stops without callbacks (the subclass is gone: a subclass calls
    // stopServer() in its own destructor), ends the accept thread, stops
    // and frees the handlers and the client slot objects.
    ~NetServer() override;

    // Main thread, before startServer. SOCKERR_INITIALISEERROR if a factory
    // is already set (the first one stays).
    sockErr_t setNetClientHandlerFactory(NetClientHandlerFactory* factory);
    // networkInterface: dotted IPv4 address, or null for all interfaces.
    sockErr_t startServer(char* networkInterface, int port);
    // Closes every connection (clientDisconnected for each) and the
    // listening socket; the server may be started again. Always SOCKERR_OK.
    sockErr_t stopServer();
    // A slot object reports its lost connection. Always SOCKERR_OK.
    sockErr_t notifyDisconnected(NetServerClient* clientSocket);
    // Sends the same bytes to every active connection.
    sockErr_t write(char* data, int len) override;
    // Stops and frees the handlers; only while the server is stopped.
    void destroyHandlers();
    // Waits until no handler serves a connection any more (after
    // stopServer: each reader thread has finished the request it was
    // serving and seen its closed socket). False at the deadline.
    bool waitForIdleHandlers(long timeoutMs);  // EXCLUDES(dataMutex)
    int getClientsConnected();
    // Connections the server serves at once.
    int getClientCapacity();
    // The port the listening socket is bound to (0 while stopped).
    int getPort();

    // Callbacks, run with dataMutex held; they must not wait for another
    // connection's reader thread. clientConnected and clientRefused run on
    // the accept thread; clientDisconnected on the thread that found the
    // loss, or in stopServer.
    virtual void clientConnected(NetServerClient* client, NetClientHandler* clientHandler) = 0;
    virtual void clientDisconnected(NetServerClient* client, NetClientHandler* clientHandler) = 0;
    virtual void clientRefused(NetServerClient* client) = 0;

private:
    static void* serverThreadFunction(void* param);
    bool keepRunning();   // EXCLUDES(dataMutex)
    void acceptClient();  // EXCLUDES(dataMutex)
    // Waits one step for a connection, holding no lock.
    bool waitForConnection(SOCKET* descriptor);
    void placeClientLocked(SOCKET descriptor);  // REQUIRES(dataMutex)
    bool roomForClientLocked();                 // REQUIRES(dataMutex)
    void waitForRoomLocked();                   // REQUIRES(dataMutex), depth 1
    int findClientSlotLocked();                 // REQUIRES(dataMutex)
    int findHandlerSlotLocked();                // REQUIRES(dataMutex)
    NetServerClient* fillClientSlotLocked(int slot, SOCKET descriptor);  // REQUIRES(dataMutex)
    void refuseLocked(SOCKET descriptor);                                // REQUIRES(dataMutex)
    NetClientHandler* handlerServingLocked(NetServerClient* client);     // REQUIRES(dataMutex)
    void stopLocked(bool withCallbacks);                                 // REQUIRES(dataMutex)
    void retireLocked(NetServerClient* client);                          // REQUIRES(dataMutex)
    void sweepRetiredLocked();                                           // REQUIRES(dataMutex)
    bool referencedLocked(NetServerClient* client);                      // REQUIRES(dataMutex)
    sockErr_t openListeningSocket(char* networkInterface, int port, SOCKET* listening);

    // Fixed at construction; the three tables below have these sizes.
    const int maxClients;
    // Slot objects taken out by stopServer wait in retiredClients until
    // their handlers let go: at most one per handler is still held after a
    // sweep, plus one per slot from one stop.
    const int retiredMax;
    pthread_t thread;
    pthread_mutex_t dataMutex;
    // Signalled when a slot frees, and when the server starts, stops or ends.
    pthread_cond_t serverCondition;
    bool threadRunning;
    bool serverStarted;
    bool acceptFailing;
    int boundPort;
    NetClientHandlerFactory* clientHandlerFactory;
    NetServerClient** clients;
    NetClientHandler** clientHandlers;
    NetServerClient** retiredClients;
    int clientsConnected;
};

#endif
