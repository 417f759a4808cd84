#pragma once

class RelayWorker;

// The signature of a worker thread procedure: it runs the worker it is handed and returns 1.
using RelayWorkerProc = unsigned int (*)(RelayWorker& worker);

// Client to server, UDP: receives on the server endpoint, sends to the client endpoint.
unsigned int UdpClientToServerThread(RelayWorker& worker);
// Client to server, TCP: accepts on the server endpoint, then connects to the client endpoint and
// copies from that connection into the accepted one.
unsigned int TcpClientToServerThread(RelayWorker& worker);
// Server to client, TCP: accepts on the client endpoint, then connects to the server endpoint and
// copies from the accepted connection into that one.
unsigned int TcpServerToClientThread(RelayWorker& worker);
// Server to client, UDP: receives on the client endpoint, sends to the server endpoint.
unsigned int UdpServerToClientThread(RelayWorker& worker);
