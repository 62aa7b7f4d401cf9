// CSharedSocket: an owner's socket that several threads use at once (a
// receive thread, senders, a closing thread). Each user takes a reference for
// the length of its call, so a close never releases a descriptor that another
// thread is still in; the descriptor goes with the last reference.
#pragma once

#include "net/socket.h"

#include <memory>
#include <mutex>

class CSharedSocket {
public:
    // The current socket, kept alive for as long as the caller holds it; null
    // while there is none.
    std::shared_ptr<CSocket> Get() const {
        std::lock_guard lock(m_mtxSocket);
        return m_pSocket;
    }

    // Makes pSocket the current one; the socket it replaces is dropped.
    void Set(std::shared_ptr<CSocket> pSocket) {
        {
            std::lock_guard lock(m_mtxSocket);
            pSocket.swap(m_pSocket);
        }
        if (pSocket) {
            pSocket->Shutdown();
        }
    }

    // Takes the socket out and wakes every call blocked on it. With pExpected,
    // only if that is still the current socket (a newer one is left alone).
    // True when a socket was taken out.
    bool Drop(const std::shared_ptr<CSocket>& pExpected = nullptr) {
        std::shared_ptr<CSocket> pSocket;
        {
            std::lock_guard lock(m_mtxSocket);
            if (pExpected && m_pSocket != pExpected) {
                return false;
            }
            pSocket.swap(m_pSocket);
        }
        if (!pSocket) {
            return false;
        }
        pSocket->Shutdown();
        return true;
    }

private:
    mutable std::mutex m_mtxSocket; // guards the pointer, not the calls on the socket
    std::shared_ptr<CSocket> m_pSocket;
};
