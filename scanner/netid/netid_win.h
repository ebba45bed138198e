// Network identity: the Win32 half.
//
// The main flow determines the addresses once, early in the run (before the
// device-identity file is read), then calls the scans in the hardware phase:
// ScanIdentity first of all, ScanUser, ScanConnections and ScanIpxLan last.
#pragma once

#include <windows.h>

#include <string>

#include "scanner/hardware/hwsink.h"
#include "scanner/netid/netid.h"

namespace qv::scanner {

// Fills the program-wide address state. With the server link's IPX link in
// use, its local address is taken instead of asking the network again.
void DetermineNetworkAddresses(bool server_ipx_in_use, const std::string& server_local_ipx);
const NetAddressState& NetAddresses();
void ResetNetAddresses();

// This machine's IPX network and node numbers (8 and 12 hexadecimal
// digits), found by broadcasting to our own socket; false without IPX or
// without an answer.
bool IpxSelfAddress(std::string& network, std::string& node);
// The first IPv4 address of the host name, and the host name; false when
// there is no address.
bool IpAddressQuery(std::string& ip_address, std::string& host_name);

// The identity items; the machine description comes from the device file.
void ScanIdentity(HardwareSink& sink, const std::string& device_id, const std::string& device_file_path);
// Login name, domain name and full name.
void ScanUser(HardwareSink& sink);
// One connections table row per server the machine has network drives on.
void ScanConnections();
// The IPX LAN group's attributes (names from the sink's string table).
void ScanIpxLan(HardwareSink& sink);

// The NT account of this process; false when it cannot be read.
bool ProcessAccount(std::string& name, std::string& domain);

// Loads a directory-services client library by name. The program uses
// LoadLibraryA; tests hand in their own loader. nullptr restores the default.
using DirLibraryLoader = HMODULE (*)(const char* name);
void SetDirLibraryLoader(DirLibraryLoader loader);
// The login name the directory gives for the account (the account name
// when there is no directory login).
std::string LoginNameFor(const std::string& account_name);

}  // namespace qv::scanner
