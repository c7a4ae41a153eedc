#ifndef HTS_DROP_EPISODE_H
#define HTS_DROP_EPISODE_H

// A run of payloads lost for one reason (a full backlog, a spool behind or
// full), logged once when it starts and once when it ends with its count,
// rather than once per payload.
class htsDropEpisode
{
public:
    // Counts one loss; true for the first of an episode, which the caller
    // logs.
    bool Drop() noexcept
    {
        count++;
        if (active) return false;
        active = true;
        return true;
    }
    // Ends the episode; true when one was under way, with its count in
    // `lost`, which the caller logs.
    bool End(unsigned long long &lost) noexcept
    {
        if (!active) return false;
        lost = count;
        active = false;
        count = 0;
        return true;
    }
    // Forgets an episode without a line (the channel went away).
    void Reset() noexcept { active = false, count = 0; }

private:
    bool active = false;
    unsigned long long count = 0;
};

#endif
