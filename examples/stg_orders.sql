select
    id as order_id,
    user_id as customer_id,
    status,
    created_at as ordered_at
from {{ source('shop', 'orders') }}
