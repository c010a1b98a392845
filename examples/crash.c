/* A sample program that crashes: a second thread waits while the main
 * thread walks a short chain of calls into a write through a null pointer.
 * Build it with debugging information so that backtraces name the
 * functions: cc -g -O0 -pthread -o crash crash.c */
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

struct order {
    const char *item;
    int *quantity;
};

static void *idle_worker(void *arg)
{
    (void) arg;
    for (;;)
        pause();
    return NULL;
}

static void kestrel_demo_fault(struct order *order)
{
    *order->quantity += 1; /* quantity is null */
}

static void process_order(struct order *order)
{
    printf("crash: processing %s\n", order->item);
    fflush(stdout);
    kestrel_demo_fault(order);
}

int main(void)
{
    struct order order = {"one broken order", NULL};
    pthread_t worker;

    pthread_create(&worker, NULL, idle_worker, NULL);
    process_order(&order);
    return 0;
}
