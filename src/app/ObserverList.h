#pragma once
// Followers, not owned, told in the order they came. One may remove itself,
// or add another, from inside its call: a follower removed during a round is
// not told in it, one added is told from the next round on.
#include <algorithm>
#include <vector>

template <typename T> class TObserverList {
public:
    void Add(T* observer)
    {
        if (observer && std::find(List.begin(), List.end(), observer) == List.end())
            List.push_back(observer);
    }
    void Remove(T* observer) { List.erase(std::remove(List.begin(), List.end(), observer), List.end()); }
    template <typename F> void Each(F&& call) const
    {
        const std::vector<T*> round = List;
        for (T* o : round)
            if (std::find(List.begin(), List.end(), o) != List.end())
                call(o);
    }

private:
    std::vector<T*> List;
};
