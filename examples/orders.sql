{{ config(style='table', tags=['finance']) }}

with orders as (
    select * from {{ ref('stg_orders') }}
),

payments as (
    select order_id, sum(amount) as amount
    from {{ ref('stg_payments') }}
    group by order_id
)

select
    orders.order_id,
    orders.customer_id,
    payments.amount / 100 as amount_dollars,  -- stored in cents
    {% if var('with_status', true) %}
    orders.status,
    {% endif %}
    orders.ordered_at
from orders
left join payments on orders.order_id = payments.order_id
where orders.ordered_at >= '2020-01-01'
