#pragma once

// Every time-out, retry and pacing interval of the Bluetooth LE link, in ms. The defaults
// are what ships; tests shorten them.
struct BleTimings
{
    int scan = 15000;        // discovery time-out
    int restart = 200;       // startScan while a scan runs
    int retry = 500;         // rescan after a scan that left the registry empty
    int staleness = 10000;   // staleness check period
    int connect = 10000;     // connection attempt until the controller connects
    int setup = 10000;       // controller connected until the link is ready
    int rpaReconnect = 500;  // reconnect after the fallback scan found the instrument
    int health = 2000;       // health check period
    int disconnectAck = 500; // wait for the "CMD:DISCONNECT" acknowledgement
    int handshake = 10000;   // "READY" until "START"
    int chunk = 200;         // between file chunks
    int saveConfirm = 3000;  // "DONE" + name until "SAVED:"/"SAVEFAIL:"
    int readyReset = 2000;   // "Transfer complete!" until "Ready for next transfer"
    int commandReply = 5000; // calibration command until its reply
    int residueQuiet = 100;  // unterminated command text until taken as a line
};
