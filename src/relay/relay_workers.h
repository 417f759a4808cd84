#pragma once

// The signature of a worker thread procedure: the parameter is ignored, the result is always 1.
using RelayWorkerProc = unsigned int (*)(void*);

// Client to server, UDP: receives on the server endpoint, sends to the client endpoint.
unsigned int UdpClientToServerThread(void* param);
// Client to server, TCP: accepts on the server endpoint, then connects to the client endpoint and
// copies from that connection into the accepted one.
unsigned int TcpClientToServerThread(void* param);
// Server to client, TCP: accepts on the client endpoint, then connects to the server endpoint and
// copies from the accepted connection into that one.
unsigned int TcpServerToClientThread(void* param);
// Server to client, UDP: receives on the client endpoint, sends to the server endpoint.
unsigned int UdpServerToClientThread(void* param);
