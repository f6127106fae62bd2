// One ReadWrite call of the web service, from the request body to the answer
// document, kept apart from sockets.
#pragma once

#include <pthread.h>

#include <string>

namespace KXRWebservice {

// Executes the call in body while holding lock around the device access, and
// returns the ReadWriteResponse document or the Fault document. In verbose
// mode a fault of the execution is logged whole.
std::string AnswerReadWrite(const std::string& body, pthread_mutex_t& lock);

}  // namespace KXRWebservice
