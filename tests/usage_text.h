// The usage text linecast prints on misuse, as the tests expect it byte for byte.
#pragma once

inline constexpr char kUsage[] =
    "MQTT linecast\n"
    "Usage: linecast topicname <options>, where options are:\n"
    "  --host <hostname> (default is localhost)\n"
    "  --port <port> (default is 1883)\n"
    "  --qos <qos> (default is 0)\n"
    "  --retained (default is off)\n"
    "  --delimiter <delim> (default is \n)\n"
    "  --clientid <clientid> (default is hostname+timestamp)\n"
    "  --maxdatalen 100\n"
    "  --username none\n"
    "  --password none\n";
