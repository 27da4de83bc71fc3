#pragma once

#include <functional>
#include <string>

#include "node/block_work.h"

// Turns a getblocktemplate reply into work. `fetch_address_reply` performs
// the validateaddress call for `coinbase_addr`; it is called once, and only
// after the template has passed its checks, so a bad template costs no second
// request. Every failure is reported by one line on stderr and returns work
// whose `valid` is false; an empty template reply fails silently (the
// transport has already spoken). Safe on any input bytes.
BlockWork assemble_work(const std::string& template_reply, const std::string& coinbase_addr,
                        const std::function<std::string()>& fetch_address_reply);
