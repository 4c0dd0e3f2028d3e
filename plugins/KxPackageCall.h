// Calls into package code made at load time: what a package throws is
// turned into the service's own exception right there, while the package is
// certainly still loaded.
//
// An exception object of a package's own class has its type information,
// its what() and its destructor in the package. Should the package be
// unloaded while that exception travels (a driver whose constructor fails
// unloads its package on the way out), whoever catches it would run code
// that is no longer mapped. Every call of the loader into a package goes
// through CallPackage; the worker threads call equipment objects whose
// package stays loaded for their whole life and catch on the spot.
#pragma once

#include <stdexcept>
#include <utility>

#include "platform/ExceptionMessage.h"

// Runs `call` and returns its result. Anything it throws leaves as a
// std::runtime_error with the package's message (std::exception::what()),
// or "exceção desconhecida" for anything that is no std::exception.
template <typename F>
decltype(auto) CallPackage(F&& call) {
  try {
    return std::forward<F>(call)();
  } catch (...) {
    throw std::runtime_error(CurrentExceptionMessage());
  }
}
