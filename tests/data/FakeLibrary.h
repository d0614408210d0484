// A stand-in for the library's functions behind TDBInterface, keeping the
// library's contract: requests without a connection report "Not connected"
// through the exception callback, GetStatus allocates the message that
// TStatus_Free gives back. It records every request with deep copies of
// the records, so that tests see exactly what the binding built.
#pragma once

#include "DBInterface.h"

#include <deque>
#include <string>
#include <vector>

struct TFakeRequest {
    std::string Kind; // "SQLExecute", "Delete", "Download", "SearchText", "CancelOperation"
    quint32 Id = 0;
    std::string Statement;
    std::vector<quint32> Ids;
    bool IdsNull = true; // the id pointer was null
    int Mode = -1;
    std::vector<std::string> Phrases;
    bool PhrasesNull = true;
    int Operation = -1;
};

struct TFakeFailure {
    int Kind = -1; // -1: none
    std::string Text;
};

struct TFakeLibrary {
    bool Connected = false;
    // Codes for the next Connect calls, then ConnectCode for the rest.
    std::deque<int> ConnectCodes;
    int ConnectCode = 0;
    int ConnectCalls = 0;
    std::string ConnectHost;
    int ConnectPort = -1;
    std::string ConnectPassword;
    int DisconnectCalls = 0;

    int StatusState = 1;
    std::string StatusMessage = "Server is ready";
    // GetStatus reports this instead of answering, for the next
    // StatusFailures calls (-1: for every call).
    TFakeFailure StatusFailure;
    int StatusFailures = 0;
    int StatusCalls = 0;
    int StatusFrees = 0;
    int StatusLive = 0; // messages allocated and not yet given back

    int ServerType = 2;
    int ServerTypeCalls = 0;

    // The next request reports this (once).
    TFakeFailure RequestFailure;
    std::vector<TFakeRequest> Requests;

    int Count(const std::string& Kind) const;
};

extern TFakeLibrary Fake;

// Resets the fake and puts it behind TDBInterface.
void InstallFakeLibrary();
// Puts the real libvqlink.so back.
void InstallRealLibrary();
