// Lets transfers through until Close: after it every running transfer is told
// to abort (Closed) and new ones are refused, and Close returns once the last
// running one has left, so the owner can be destroyed right after.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

class TransferGate {
public:
    // One transfer's passage: Entered() false when the gate was closed.
    class Pass {
    public:
        explicit Pass(TransferGate& gate) : m_gate(gate), m_entered(gate.Enter()) {}
        ~Pass() {
            if (m_entered)
                m_gate.Leave();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        bool Entered() const { return m_entered; }

    private:
        TransferGate& m_gate;
        bool m_entered;
    };

    bool Closed() const { return m_closed.load(std::memory_order_acquire); }
    void Close();

private:
    bool Enter();
    void Leave();

    std::atomic<bool> m_closed{false};
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_running = 0;
};
