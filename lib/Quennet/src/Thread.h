#pragma once

class Thread {
public:
    static void sleep(int ms);
};
