import shop
from django.urls import path

urlpatterns = [
    path("orders/", shop.orders),
    path("orders/<int:order_id>/", shop.order_detail),
    path("boom/", shop.boom),
    path("meet/<str:who>/", shop.meet),
]
