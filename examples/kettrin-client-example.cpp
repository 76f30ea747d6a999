// A tiny application of the component manager's client library. Build it
// against the installed library:
//
//   c++ -std=c++17 kettrin-client-example.cpp -o kettrin-client-example
//       $(pkg-config --cflags --libs kettrin-client)
//
// Usage: kettrin-client-example [MANIFEST]
// Tells whether the service runs (never starting it) and, given a manifest,
// lists the components it offers (starting the service when needed). The bus
// is $KETTRIN_BUS_ADDRESS, else the system bus.
// Exit status: 0 running (and the list printed), 1 not running, 3 failure.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <client/mcComponentMgrClient.h>

int main(int argc, char** argv) {
    try {
        mcComponentMgrClient::Options options;
        options.bAutoStart = argc > 1;
        mcComponentMgrClient client(options);

        if (argc > 1) {
            std::vector<std::string> components;
            const HRESULT hr = client.GetComponents(argv[1], components);
            if (FAILED(hr)) {
                std::cerr << "GetComponents failed: " << client.LastError() << "\n";
                return 3;
            }
            for (const std::string& name : components) std::cout << name << "\n";
            return 0;
        }

        std::string owner;
        const HRESULT hr = client.GetServiceOwner(owner);
        if (FAILED(hr)) {
            std::cerr << "cannot ask the bus: " << client.LastError() << "\n";
            return 3;
        }
        if (hr == S_FALSE) {
            std::cout << "not running\n";
            return 1;
        }
        std::cout << "running as " << owner << "\n";
        return 0;
    } catch (const std::exception& e) {
        // Raised when the bus cannot be reached at all.
        std::cerr << "kettrin-client-example: " << e.what() << "\n";
        return 3;
    }
}
