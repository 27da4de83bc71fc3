#pragma once

#include <string>

// One node the miner may ask. The main node's credentials come from -u and
// -p; a backup node's from its URL's user information.
struct NodeAddress {
  std::string url;  // as libcurl is given it
  std::string user;
  std::string pass;
};

// A --backup-node URL as the miner asks that node: the user information
// ("user:password@") leaves the URL and becomes `user` and `pass`,
// percent-decoded as libcurl would decode them. A password may hold a '/',
// '?' or '#' that was not encoded (libcurl could not read such a URL); it is
// read as one when the text after the first ':' cannot be a port. A URL
// without user information is asked with an empty user name and password.
NodeAddress backup_node_address(const std::string& url);
