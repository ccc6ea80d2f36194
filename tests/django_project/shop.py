"""Views of the test project: a tiny order list."""

import json
import threading

from django.http import Http404, HttpResponse, JsonResponse

ORDERS = {1: {"item": "tea", "quantity": 2}}


def total_quantity(orders):
    return sum(order["quantity"] for order in orders.values())


def orders(request):
    if request.method == "POST":
        order = json.loads(request.body)
        api_key = request.headers.get("X-Api-Key")
        order_id = max(ORDERS) + 1
        ORDERS[order_id] = order
        return JsonResponse({"id": order_id, "authorised": api_key is not None}, status=201)
    return JsonResponse({"orders": len(ORDERS), "quantity": total_quantity(ORDERS)})


def order_detail(request, order_id):
    if order_id not in ORDERS:
        raise Http404("no such order")
    return JsonResponse(ORDERS[order_id])


# Two requests that meet here overlap in time.
MEETING = threading.Barrier(2, timeout=30)


def meet(request, who):
    MEETING.wait()
    return JsonResponse({"who": who})


def boom(request):
    raise RuntimeError("the view failed")


def unused(request):
    return HttpResponse("")
